// common/common.h: the pieces both programs use to move frames from one file to another.
//
// Read me first. A frame pass reads frames at absolute offsets of its input (InputFile,
// pread, so workers read side by side), turns each into what goes into the output on
// worker threads (OrderedWork) and writes them on the calling thread in frame order, so
// the output is the same for every thread count. Memory stays a few frames per worker:
// workers_within_budget keeps the buffers in flight within kInFlightBytes. Nothing here
// prints to standard output; Progress draws on standard error, and only on a terminal.
#ifndef COMMON_COMMON_H_
#define COMMON_COMMON_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A file opened once for reading and never for writing.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Regular files only: a directory opens on some systems but every read from it fails.
  [[nodiscard]] bool open(const char* name);
  uint64_t size() const { return size_; }
  // Reads n bytes at offset; false when they do not lie wholly in the file or the read
  // fails or comes up short. Safe to call from several threads at once.
  [[nodiscard]] bool read_at(uint64_t offset, unsigned char* dst, uint64_t n) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// True when both paths name one existing file, through any path or link.
bool same_file(const char* a, const char* b);

// The frame buffers (and codecs) in flight stay within this, whatever the number of cores.
constexpr size_t kInFlightBytes = size_t{2} << 30;

// The threads a pass may use: ZODUVIV_THREADS when it holds a number from 1 to 256, else
// the number of available cores.
int thread_count();

// Workers for a pass of `frames` frames whose worker holds bytes_per_worker: no more
// than thread_count(), than the frames (at least 1) or than kInFlightBytes hold (at
// least 1), so a movie of huge frames gets fewer workers instead of running out of memory.
int workers_within_budget(size_t frames, size_t bytes_per_worker);

// Frames processed on worker threads, handed back in frame order. The caller owns a ring
// of slots(); frame i always uses slot i % slots(). With no workers (threads <= 1) each
// frame is processed at once on the caller's thread: the plain single-threaded pass.
// Nothing is allocated per frame.
class OrderedWork {
 public:
  // Frames in flight per worker: one being processed, one read ahead or waiting to be
  // written.
  static constexpr int kSlotsPerWorker = 2;
  using Process = std::function<void(int worker, int slot)>;

  // There are kSlotsPerWorker slots per worker, or max_slots when that is fewer (0: no
  // cap), so max_slots bounds the frames in flight; there are never more workers than slots.
  OrderedWork(int threads, Process process, int max_slots = 0);
  ~OrderedWork();
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  int workers() const { return workers_; }
  int slots() const { return slots_; }

  // Runs frames 0 to n - 1: fill(i) prepares slot i % slots() on the calling thread, a
  // worker then calls process(worker, slot), and drain(i) takes the result on the calling
  // thread, in order. Returns the first frame whose drain returned false, or n. The
  // workers are stopped on return.
  size_t run(size_t n, const std::function<void(size_t)>& fill,
             const std::function<bool(size_t)>& drain);

  // The same steps one at a time, for a caller that is handed frames as they come:
  // start, then submit frames 0, 1, 2, ... once their slots are filled, wait for each in
  // that order before its slot is used again, and stop (frames not yet taken are dropped).
  void start();
  void submit(size_t frame);
  void wait(size_t frame);
  void stop();

 private:
  void work(int worker);

  Process process_;
  const int workers_;
  const int slots_;
  std::vector<char> done_;  // per slot, guarded by mutex_ while workers run
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable frame_done_;
  size_t submitted_ = 0;
  size_t taken_ = 0;
  bool stopping_ = false;
};

// One line on standard error, redrawn at most four times a second, with frames done and
// total, frames per second and time left; erased by finish() or when it goes out of
// scope. Silent unless standard error is a terminal, so standard output and redirected
// runs are never touched.
class Progress {
 public:
  explicit Progress(size_t total);
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void update(size_t done);
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool drawn_ = false;
  size_t total_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

#endif  // COMMON_COMMON_H_
