// driver/frame_pass.cpp: every frame read, converted, compressed (unless -u) and written.
#include "driver/frame_pass.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "driver/sound_pass.h"

namespace {

// Bytes write_frame may zero behind a frame in the caller's buffer.
constexpr size_t kPadSlack = 3;
// "raw " frames are read and converted in blocks of rows of about this size.
constexpr size_t kConvertBlockBytes = 128 * 1024;

// One frame in flight. Its two buffers serve by turns as the frame read from the movie,
// the converted frame and the compressed frame; each is large enough for any of the three
// plus the pad bytes the writer zeroes behind a frame.
struct Slot {
  std::unique_ptr<unsigned char[]> a;
  std::unique_ptr<unsigned char[]> b;
  int frame = 0;                  // the frame number this slot holds
  bool readable = false;          // the frame lay wholly in the file and was read
  unsigned char* data = nullptr;  // what goes into the AVI file
  uint32_t size = 0;
  uint32_t flags = 0;
};

// What became of one frame, in frame order.
enum class Outcome { kWritten, kUnreadable, kSoundUnreadable, kFull, kWriteError };

Outcome outcome_of(SoundWrite w) {
  switch (w) {
    case SoundWrite::kWritten:
      return Outcome::kWritten;
    case SoundWrite::kUnreadable:
      return Outcome::kSoundUnreadable;
    case SoundWrite::kFull:
      return Outcome::kFull;
    case SoundWrite::kError:
      break;
  }
  return Outcome::kWriteError;
}

class FramePass {
 public:
  FramePass(const Options& options, const MovieHeader& movie, const InputFile& input,
            const std::vector<SoundTrack>& sounds)
      : options_(options),
        movie_(movie),
        input_(input),
        frame_size_(uint64_t(movie.width) * uint64_t(movie.height) * 3),
        row_(static_cast<size_t>(movie.width) * 3),
        stride_(static_cast<size_t>(movie.row_stride)),
        slot_capacity_(slot_capacity(options, movie, frame_size_)),
        sound_(sounds, input, writer_),
        work_(workers_for(options, frame_size_, slot_capacity_), [this](int worker, int slot) {
          process(worker, slots_[static_cast<size_t>(slot)]);
        }) {}

  int run() {
    if (!options_.uncompressed && !begin_codecs(std::max(work_.workers(), 1))) {
      std::printf(
          "The Vozodiva codec cannot compress frames of %dx%d pixels; use -u for an uncompressed "
          "AVI file.\n",
          movie_.width, movie_.height);
      return 1;
    }
    allocate_slots();

    if (!sound_.add_streams()) return 1;
    if (!writer_.init(options_.output, movie_.width, movie_.height, movie_.time_scale,
                      movie_.sample_duration, options_.uncompressed ? 0 : 1)) {
      return 1;
    }
    std::printf("Writing %s, this may take a while...\n", options_.output);
    std::fflush(stdout);

    // The frames are read, converted and compressed on the workers and written here, in
    // order; a frame that cannot be read is reported when its turn to be written comes,
    // so the messages and the file are the same for every thread count.
    Progress progress(static_cast<size_t>(total_frames));
    Outcome outcome = Outcome::kWritten;
    work_.run(
        static_cast<size_t>(total_frames),
        [this](size_t i) { slots_[i % slots_.size()].frame = static_cast<int>(i); },
        [&](size_t i) {
          outcome = write(i);
          progress.update(static_cast<size_t>(written_));
          return outcome == Outcome::kWritten;
        });
    progress.finish();
    // The sound that plays after the last frame follows it.
    if (outcome == Outcome::kWritten) outcome = outcome_of(sound_.write_rest());
    if (outcome != Outcome::kWritten) return stop(outcome);
    if (movie_.fragments_damaged) return finish_early("before the damaged fragment");
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

  // Bytes of each of a slot's two buffers: a frame read from the movie (padded rows
  // included), converted or compressed, and the pad bytes behind it.
  static size_t slot_capacity(const Options& options, const MovieHeader& movie,
                              uint64_t frame_size) {
    size_t capacity = static_cast<size_t>(std::max(frame_size, movie.frame_bytes));
    if (!options.uncompressed)
      capacity = std::max(capacity, MaxCompressedFrameSize(movie.width, movie.height));
    return capacity + kPadSlack;
  }

  // A worker has two slots of two buffers, and when compressing a codec whose buffers
  // come to about three frames (counted as four).
  static int workers_for(const Options& options, uint64_t frame_size, size_t capacity) {
    const size_t codec = options.uncompressed ? 0 : 4 * static_cast<size_t>(frame_size);
    const size_t per_worker = 2 * capacity * OrderedWork::kSlotsPerWorker + codec;
    return workers_within_budget(static_cast<size_t>(total_frames), per_worker);
  }

  // A movie without frames needs no buffers, whatever its frame size.
  void allocate_slots() {
    if (total_frames == 0) return;
    const bool needs_b = movie_.raw || !options_.uncompressed;
    slots_.resize(static_cast<size_t>(work_.slots()));
    for (Slot& slot : slots_) {
      slot.a.reset(new unsigned char[slot_capacity_]);
      if (needs_b) slot.b.reset(new unsigned char[slot_capacity_]);
    }
  }

  // Reads the slot's frame and turns it into what goes into the AVI file; runs on a
  // worker.
  void process(int worker, Slot& slot) {
    const uint64_t offset = frame_offsets[static_cast<size_t>(slot.frame)];
    unsigned char* dib = slot.a.get();
    unsigned char* spare = slot.b.get();
    // A "raw " frame to compress goes to the codec as read: it predicts from the rows in
    // movie order, so the frame is never converted (one pass and one frame write fewer).
    const bool raw_to_codec = movie_.raw && !options_.uncompressed;
    if (movie_.raw && !raw_to_codec) {
      std::swap(dib, spare);
      slot.readable = read_raw_frame(offset, spare, dib);
    } else {
      slot.readable = input_.read_at(offset, dib, movie_.frame_bytes);
      if (slot.readable) pack_rows(dib, row_, stride_, movie_.height);
    }
    if (!slot.readable) return;
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
    CodecInst& codec = *codecs_[static_cast<size_t>(worker)];
    if (raw_to_codec) {
      codec.CompressRawContinue(&icc);
    } else {
      codec.CompressContinue(&icc, 0);
    }
    slot.data = spare;
    slot.size = icc.size;
    slot.flags = icc.flags;
  }

  // Reads the "raw " frame at offset and converts it into target, a block of rows at a
  // time through the start of scratch: the rows are converted while they are still in
  // the cache, instead of a whole frame being read cold and then converted cold.
  bool read_raw_frame(uint64_t offset, unsigned char* scratch, unsigned char* target) {
    if (frame_size_ == 0) return input_.read_at(offset, scratch, 0);
    const size_t rows = static_cast<size_t>(movie_.height);
    const size_t block_rows = std::max<size_t>(1, kConvertBlockBytes / stride_);
    for (size_t first = 0; first < rows; first += block_rows) {
      const size_t n = std::min(block_rows, rows - first);
      if (!input_.read_at(offset + first * stride_, scratch, n * stride_)) return false;
      // Source rows [first, first + n) are the target's rows counted from the bottom.
      raw_to_BGR(scratch, stride_, target + (rows - first - n) * row_, movie_.width,
                 static_cast<int>(n));
    }
    return true;
  }

  // Writes frame i, which the workers are done with.
  Outcome write(size_t i) {
    const Slot& slot = slots_[i % slots_.size()];
    if (!slot.readable) {
      std::printf(
          "Frame %zu of %d lies past the end of the input file or cannot be read; the movie is "
          "truncated or damaged.\n",
          i + 1, total_frames);
      return Outcome::kUnreadable;
    }
    // The sound that plays with this frame goes before it.
    if (movie_.time_scale > 0 && movie_.sample_duration > 0) {
      const double end = static_cast<double>(i + 1) * movie_.sample_duration / movie_.time_scale;
      const Outcome sound = outcome_of(sound_.write_until(end));
      if (sound != Outcome::kWritten) return sound;
    }
    switch (
        writer_.write_frame(slot.data, static_cast<int>(slot.size), static_cast<int>(slot.flags))) {
      case FrameWrite::kWritten:
        ++written_;
        return Outcome::kWritten;
      case FrameWrite::kFull:
        return Outcome::kFull;
      case FrameWrite::kError:
        break;
    }
    return Outcome::kWriteError;
  }

  int stop(Outcome outcome) {
    // After a write error the writer has named the file; nothing more can be saved.
    if (outcome == Outcome::kWriteError) return 1;
    if (outcome == Outcome::kSoundUnreadable) return finish_early("written before that sound");
    return finish_early("written before that frame");
  }

  // Finishes the AVI file with the frames already written; the run still fails.
  int finish_early(const char* why) {
    if (writer_.flush()) {
      std::printf("Stopped early: %s holds the %d frame%s %s.\n", options_.output, written_,
                  written_ == 1 ? "" : "s", why);
    }
    return 1;
  }

  const Options& options_;
  const MovieHeader& movie_;
  const InputFile& input_;
  const uint64_t frame_size_;  // of a frame in the AVI file: packed rows
  const size_t row_;
  const size_t stride_;  // of the rows of a frame in the movie
  const size_t slot_capacity_;
  AviWriter writer_;
  SoundPass sound_;                                 // writes through writer_
  std::vector<std::unique_ptr<CodecInst>> codecs_;  // one per worker
  std::vector<Slot> slots_;
  int written_ = 0;
  OrderedWork work_;  // last: its workers stop before the slots and codecs go
};

}  // namespace

int run_frame_pass(const Options& options, const MovieHeader& movie, const InputFile& input,
                   const std::vector<SoundTrack>& sounds) {
  FramePass pass(options, movie, input, sounds);
  return pass.run();
}
