#include "driver/frame_pass.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "driver/progress.h"

namespace {

// Bytes write_frame may zero behind a frame in the caller's buffer.
constexpr size_t kPadSlack = 3;
constexpr int kMaxThreads = 256;
// Frames in flight per worker: one being compressed, one read ahead or waiting to be
// written. Memory stays a few frames per thread whatever the movie's length.
constexpr int kSlotsPerWorker = 2;

// One frame in flight. Its two buffers serve by turns as the frame read from the movie,
// the converted frame and the compressed frame; each is large enough for any of the three
// plus the pad bytes the writer zeroes behind a frame.
struct Slot {
  std::unique_ptr<unsigned char[]> a;
  std::unique_ptr<unsigned char[]> b;
  unsigned char* data = nullptr;  // what goes into the AVI file
  uint32_t size = 0;
  uint32_t flags = 0;
  bool done = false;  // guarded by FramePass::mutex_
};

class FramePass {
 public:
  FramePass(const Options& options, const MovieHeader& movie, InputFile& input)
      : options_(options), movie_(movie), input_(input),
        frame_size_(uint64_t(movie.width) * uint64_t(movie.height) * 3) {}

  ~FramePass() { stop_workers(); }

  int run() {
    const int threads = options_.uncompressed ? 1 : thread_count();
    if (!options_.uncompressed && !begin_codecs(threads)) {
      std::printf("The Vozodiva codec cannot compress frames of %dx%d pixels; use -u for an uncompressed AVI file.\n",
                  movie_.width, movie_.height);
      return 1;
    }
    allocate_slots(threads > 1 ? threads * kSlotsPerWorker : 1);

    if (!writer_.init(options_.output, movie_.width, movie_.height, movie_.time_scale,
                      movie_.sample_duration, options_.uncompressed ? 0 : 1)) {
      return 1;
    }
    std::printf("Writing %s, this may take a while...\n", options_.output);
    std::fflush(stdout);
    if (threads > 1) start_workers();

    Progress progress(total_frames);
    const int slots = static_cast<int>(slots_.size());
    int submitted = 0;
    bool read_failed = false;
    for (int i = 0; i < total_frames; ++i) {
      Slot& slot = slots_[static_cast<size_t>(i % slots)];
      if (i >= slots) {
        const FrameWrite result = write_next(slot);
        if (result != FrameWrite::kWritten) return stop(result);
        progress.update(written_);
      }
      if (!read_frame(i, slot)) {
        read_failed = true;
        break;
      }
      submit(i, slot);
      submitted = i + 1;
    }
    while (written_ < submitted) {
      const FrameWrite result = write_next(slots_[static_cast<size_t>(written_ % slots)]);
      if (result != FrameWrite::kWritten) return stop(result);
      progress.update(written_);
    }
    stop_workers();
    progress.finish();
    if (read_failed) return finish_early();
    if (!writer_.flush()) return 1;
    std::printf("Finished writing file %s\n", options_.output);
    return 0;
  }

 private:
  bool begin_codecs(int threads) {
    for (int t = 0; t < threads; ++t) {
      codecs_.push_back(std::make_unique<CodecInst>());
      if (codecs_.back()->CompressBegin(movie_.width, movie_.height, 24) != 0) return false;
    }
    return true;
  }

  void allocate_slots(int count) {
    size_t capacity = static_cast<size_t>(frame_size_);
    if (!options_.uncompressed)
      capacity = std::max(capacity, MaxCompressedFrameSize(movie_.width, movie_.height));
    capacity += kPadSlack;
    const bool needs_b = movie_.raw || !options_.uncompressed;
    slots_.resize(static_cast<size_t>(count));
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

  // Converts the frame in the slot into what goes into the AVI file.
  void process(Slot& slot, CodecInst* codec) {
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
    codec->CompressContinue(&icc, 0);
    slot.data = spare;
    slot.size = icc.size;
    slot.flags = icc.flags;
  }

  // Hands frame i to a worker, or processes it here when there are none.
  void submit(int i, Slot& slot) {
    if (workers_.empty()) {
      process(slot, codecs_.empty() ? nullptr : codecs_[0].get());
      slot.done = true;
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot.done = false;
      submitted_ = i + 1;
    }
    work_ready_.notify_one();
  }

  // Waits for the oldest frame in flight and writes it.
  FrameWrite write_next(Slot& slot) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      frame_done_.wait(lock, [&slot] { return slot.done; });
    }
    const FrameWrite result =
        writer_.write_frame(slot.data, static_cast<int>(slot.size), static_cast<int>(slot.flags));
    if (result == FrameWrite::kWritten) ++written_;
    return result;
  }

  int stop(FrameWrite result) {
    stop_workers();
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

  void start_workers() {
    for (auto& codec : codecs_) workers_.emplace_back([this, c = codec.get()] { work(c); });
  }

  void stop_workers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

  // A worker takes frames in submission order and compresses them with its own codec.
  void work(CodecInst* codec) {
    const size_t slots = slots_.size();
    for (;;) {
      int frame = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_ready_.wait(lock, [this] { return stopping_ || taken_ < submitted_; });
        if (stopping_) return;
        frame = taken_++;
      }
      Slot& slot = slots_[static_cast<size_t>(frame) % slots];
      process(slot, codec);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.done = true;
      }
      frame_done_.notify_all();
    }
  }

  const Options& options_;
  const MovieHeader& movie_;
  InputFile& input_;
  const uint64_t frame_size_;
  AviWriter writer_;
  std::vector<std::unique_ptr<CodecInst>> codecs_;  // one per worker
  std::vector<Slot> slots_;
  int written_ = 0;

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable frame_done_;
  int submitted_ = 0;  // guarded by mutex_
  int taken_ = 0;      // guarded by mutex_
  bool stopping_ = false;
};

}  // namespace

int thread_count() {
  if (const char* value = std::getenv("ZODUVIV_THREADS")) {
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (end != value && *end == '\0' && n >= 1 && n <= kMaxThreads) return static_cast<int>(n);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, kMaxThreads));
}

int run_frame_pass(const Options& options, const MovieHeader& movie, InputFile& input) {
  FramePass pass(options, movie, input);
  return pass.run();
}
