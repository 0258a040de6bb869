// vizudec/commands.cpp: checking a file, and decoding it to an uncompressed one.
#include <cstdio>
#include <limits>

#include "avi/avi.h"
#include "common/common.h"
#include "vizudec/frame_pass.h"
#include "vizudec/sound.h"
#include "vizudec/vizudec.h"

namespace {

void print_damaged(size_t frame, const AviInput& input, const char* why) {
  std::printf("Frame %zu of %llu is damaged: %s.\n", frame + 1,
              static_cast<unsigned long long>(input.total), why);
}

// Finishes an output file that stopped early; the run still fails.
int finish_incomplete(AviWriter& writer, const char* out_path, size_t frames) {
  if (writer.flush())
    std::printf("The output file %s is incomplete: it holds only the %zu frames before it.\n",
                out_path, frames);
  return 1;
}

}  // namespace

int check_file(const char* path) {
  AviInput input;
  if (!open_avi_input(path, input)) return 1;
  FramePass pass(input);
  if (!pass.begin()) return 1;
  const size_t n = input.info.frames.size();
  Progress progress(n);
  const char* why = nullptr;
  const size_t bad = pass.run(
      [&](size_t i, uint8_t*) {
        progress.update(i + 1);
        return true;
      },
      why);
  progress.finish();
  if (bad < n) {
    print_damaged(bad, input, why);
    return 1;
  }
  std::printf("Checked %zu frames, all decode cleanly\n", n);
  return check_sound(input.info) ? 0 : 1;
}

int decode_file(const char* in_path, const char* out_path) {
  if (same_file(in_path, out_path)) {
    std::printf("The output file %s is the input file; choose another name.\n", out_path);
    return 1;
  }
  AviInput input;
  if (!open_avi_input(in_path, input)) return 1;
  FramePass pass(input);
  if (!pass.begin()) return 1;

  // The header takes rate and scale as they stand, so that a file zoduviv wrote comes back
  // with the very header zoduviv -u writes. The int conversion keeps the 32 bits, which
  // the writer stores unchanged.
  AviWriter writer;
  SoundCopy sound(input);
  sound.add_streams(writer);
  if (!writer.init(out_path, input.info.width, input.info.height, static_cast<int>(input.info.rate),
                   static_cast<int>(input.info.scale), 0))
    return 1;
  std::printf("Writing %s, this may take a while...\n", out_path);
  std::fflush(stdout);

  const std::vector<AviFrame>& frames = input.info.frames;
  const size_t n = frames.size();
  Progress progress(n);
  FrameWrite written = FrameWrite::kWritten;
  const char* why = nullptr;
  const size_t stopped = pass.run(
      [&](size_t i, uint8_t* frame) {
        if (!sound.copy_before(frames[i].offset, writer, written)) return false;
        written = writer.write_frame(frame, static_cast<int>(pass.frame_bytes()), kKeyFrameFlag);
        progress.update(i + 1);
        return written == FrameWrite::kWritten;
      },
      why);
  progress.finish();
  if (stopped == n) (void)sound.copy_before(std::numeric_limits<uint64_t>::max(), writer, written);
  if (written == FrameWrite::kError) return 1;
  if (written == FrameWrite::kFull || sound.damaged())
    return finish_incomplete(writer, out_path, stopped);
  if (stopped < n) {
    print_damaged(stopped, input, why);
    return finish_incomplete(writer, out_path, stopped);
  }
  if (!writer.flush()) return 1;
  std::printf("Finished writing file %s\n", out_path);
  return 0;
}
