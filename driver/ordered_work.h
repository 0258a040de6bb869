// driver/ordered_work.h: frames processed on worker threads, handed back in frame order.
// Shared by zoduviv's compressed pass and vizudec's decoding pass.
//
// The caller owns a ring of `slots` frame slots; frame i always uses slot i % slots. It
// fills a slot, submits the frame, and later waits for frames in the order it submitted
// them, so the file it writes is the same for every number of threads. A worker takes the
// frames in submission order and calls process(worker, slot). With no workers, submit
// processes the frame at once on the caller's thread: the plain single-threaded pass.
// Nothing is allocated per frame.
#ifndef DRIVER_ORDERED_WORK_H_
#define DRIVER_ORDERED_WORK_H_

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The threads a pass uses: ZODUVIV_THREADS when it holds a number from 1 to 256, else the
// number of available cores.
inline int thread_count() {
  constexpr long kMaxThreads = 256;
  if (const char* value = std::getenv("ZODUVIV_THREADS")) {
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (end != value && *end == '\0' && n >= 1 && n <= kMaxThreads) return static_cast<int>(n);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp<long>(cores, 1, kMaxThreads));
}

class OrderedWork {
 public:
  // Frames in flight per worker: one being processed, one read ahead or waiting to be
  // written. Memory stays a few frames per thread whatever the movie's length.
  static constexpr int kSlotsPerWorker = 2;

  using Process = std::function<void(int worker, int slot)>;

  // threads <= 1 gives no workers. The ring has slots() slots.
  OrderedWork(int threads, Process process)
      : process_(std::move(process)), workers_(threads > 1 ? threads : 0),
        done_(static_cast<size_t>(slots())) {}

  ~OrderedWork() { stop(); }
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  int workers() const { return workers_; }
  int slots() const { return workers_ > 0 ? workers_ * kSlotsPerWorker : 1; }

  void start() {
    for (int w = 0; w < workers_; ++w) threads_.emplace_back([this, w] { work(w); });
  }

  // Hands frame `frame` (whose slot the caller has filled) to the workers, or processes
  // it now when there are none. Frames are submitted as 0, 1, 2, ...
  void submit(int frame) {
    const size_t slot = static_cast<size_t>(frame % slots());
    if (threads_.empty()) {
      process_(0, static_cast<int>(slot));
      done_[slot] = true;
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_[slot] = false;
      submitted_ = frame + 1;
    }
    work_ready_.notify_one();
  }

  // Blocks until frame `frame` has been processed; its slot is then the caller's again.
  void wait(int frame) {
    const size_t slot = static_cast<size_t>(frame % slots());
    std::unique_lock<std::mutex> lock(mutex_);
    frame_done_.wait(lock, [this, slot] { return static_cast<bool>(done_[slot]); });
  }

  // Stops the workers; frames not yet taken are dropped.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void work(int worker) {
    const int slots_in_ring = slots();
    for (;;) {
      int frame = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_ready_.wait(lock, [this] { return stopping_ || taken_ < submitted_; });
        if (stopping_) return;
        frame = taken_++;
      }
      const size_t slot = static_cast<size_t>(frame % slots_in_ring);
      process_(worker, static_cast<int>(slot));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        done_[slot] = true;
      }
      frame_done_.notify_all();
    }
  }

  Process process_;
  const int workers_;
  std::vector<char> done_;  // per slot, guarded by mutex_ while workers run
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable frame_done_;
  int submitted_ = 0;
  int taken_ = 0;
  bool stopping_ = false;
};

#endif  // DRIVER_ORDERED_WORK_H_
