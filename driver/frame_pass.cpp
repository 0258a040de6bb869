#include "driver/frame_pass.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "driver/ordered_work.h"
#include "driver/progress.h"

namespace {

// Bytes write_frame may zero behind a frame in the caller's buffer.
constexpr size_t kPadSlack = 3;

// One frame in flight. Its two buffers serve by turns as the frame read from the movie,
// the converted frame and the compressed frame; each is large enough for any of the three
// plus the pad bytes the writer zeroes behind a frame.
struct Slot {
  std::unique_ptr<unsigned char[]> a;
  std::unique_ptr<unsigned char[]> b;
  unsigned char* data = nullptr;  // what goes into the AVI file
  uint32_t size = 0;
  uint32_t flags = 0;
};

class FramePass {
 public:
  FramePass(const Options& options, const MovieHeader& movie, InputFile& input)
      : options_(options), movie_(movie), input_(input),
        frame_size_(uint64_t(movie.width) * uint64_t(movie.height) * 3),
        work_(options.uncompressed ? 1 : thread_count(),
              [this](int worker, int slot) { process(worker, slots_[static_cast<size_t>(slot)]); }) {}

  int run() {
    if (!options_.uncompressed && !begin_codecs(std::max(work_.workers(), 1))) {
      std::printf("The Vozodiva codec cannot compress frames of %dx%d pixels; use -u for an uncompressed AVI file.\n",
                  movie_.width, movie_.height);
      return 1;
    }
    allocate_slots();

    if (!writer_.init(options_.output, movie_.width, movie_.height, movie_.time_scale,
                      movie_.sample_duration, options_.uncompressed ? 0 : 1)) {
      return 1;
    }
    std::printf("Writing %s, this may take a while...\n", options_.output);
    std::fflush(stdout);
    work_.start();

    Progress progress(total_frames);
    const int slots = work_.slots();
    int submitted = 0;
    bool read_failed = false;
    for (int i = 0; i < total_frames; ++i) {
      if (i >= slots) {
        const FrameWrite result = write(i - slots);
        if (result != FrameWrite::kWritten) return stop(result);
        progress.update(written_);
      }
      if (!read_frame(i, slots_[static_cast<size_t>(i % slots)])) {
        read_failed = true;
        break;
      }
      work_.submit(i);
      submitted = i + 1;
    }
    while (written_ < submitted) {
      const FrameWrite result = write(written_);
      if (result != FrameWrite::kWritten) return stop(result);
      progress.update(written_);
    }
    work_.stop();
    progress.finish();
    if (read_failed) return finish_early();
    if (!writer_.flush()) return 1;
    std::printf("Finished writing file %s\n", options_.output);
    return 0;
  }

 private:
  bool begin_codecs(int count) {
    for (int t = 0; t < count; ++t) {
      codecs_.push_back(std::make_unique<CodecInst>());
      if (codecs_.back()->CompressBegin(movie_.width, movie_.height, 24) != 0) return false;
    }
    return true;
  }

  void allocate_slots() {
    size_t capacity = static_cast<size_t>(frame_size_);
    if (!options_.uncompressed)
      capacity = std::max(capacity, MaxCompressedFrameSize(movie_.width, movie_.height));
    capacity += kPadSlack;
    const bool needs_b = movie_.raw || !options_.uncompressed;
    slots_.resize(static_cast<size_t>(work_.slots()));
    for (Slot& slot : slots_) {
      slot.a.reset(new unsigned char[capacity]);
      if (needs_b) slot.b.reset(new unsigned char[capacity]);
    }
  }

  // Reads frame i into the slot's first buffer; false (message printed) when the frame
  // does not lie wholly in the file or the read comes up short.
  bool read_frame(int i, Slot& slot) {
    const uint64_t offset = frame_offsets[static_cast<size_t>(i)];
    if (offset <= input_.size && frame_size_ <= input_.size - offset) {
      input_.stream.seekg(static_cast<std::streamoff>(offset));
      input_.stream.read(reinterpret_cast<char*>(slot.a.get()),
                         static_cast<std::streamsize>(frame_size_));
      if (input_.stream && static_cast<uint64_t>(input_.stream.gcount()) == frame_size_) return true;
      input_.stream.clear();
    }
    std::printf("Frame %d of %d lies past the end of the input file or cannot be read; the movie is truncated or damaged.\n",
                i + 1, total_frames);
    return false;
  }

  // Turns the frame in the slot into what goes into the AVI file; runs on a worker.
  void process(int worker, Slot& slot) {
    unsigned char* dib = slot.a.get();
    unsigned char* spare = slot.b.get();
    if (movie_.raw) {
      raw_to_BGR(slot.a.get(), slot.b.get(), movie_.width, movie_.height);
      std::swap(dib, spare);
    }
    if (options_.uncompressed) {
      slot.data = dib;
      slot.size = static_cast<uint32_t>(frame_size_);
      slot.flags = kKeyFrameFlag;
      return;
    }
    ICCOMPRESS icc;
    icc.flags = 0;
    icc.size = static_cast<uint32_t>(frame_size_);
    icc.input = dib;
    icc.output = spare;
    codecs_[static_cast<size_t>(worker)]->CompressContinue(&icc, 0);
    slot.data = spare;
    slot.size = icc.size;
    slot.flags = icc.flags;
  }

  // Waits for frame i and writes it.
  FrameWrite write(int i) {
    work_.wait(i);
    const Slot& slot = slots_[static_cast<size_t>(i % work_.slots())];
    const FrameWrite result =
        writer_.write_frame(slot.data, static_cast<int>(slot.size), static_cast<int>(slot.flags));
    if (result == FrameWrite::kWritten) ++written_;
    return result;
  }

  int stop(FrameWrite result) {
    work_.stop();
    if (result == FrameWrite::kFull) return finish_early();
    return 1;  // a write error: the writer has named the file; nothing more can be saved
  }

  // Finishes the AVI file with the frames already written; the run still fails.
  int finish_early() {
    if (writer_.flush()) {
      std::printf("Stopped early: %s holds the %d frame%s written before that frame.\n",
                  options_.output, written_, written_ == 1 ? "" : "s");
    }
    return 1;
  }

  const Options& options_;
  const MovieHeader& movie_;
  InputFile& input_;
  const uint64_t frame_size_;
  AviWriter writer_;
  std::vector<std::unique_ptr<CodecInst>> codecs_;  // one per worker
  std::vector<Slot> slots_;
  int written_ = 0;
  OrderedWork work_;  // last: its workers stop before the slots and codecs go
};

}  // namespace

int run_frame_pass(const Options& options, const MovieHeader& movie, InputFile& input) {
  FramePass pass(options, movie, input);
  return pass.run();
}
