// common/ordered_work.cpp: frames processed on worker threads, handed back in order.
#include <algorithm>
#include <cstdlib>

#include "common/common.h"

int thread_count() {
  constexpr long kMaxThreads = 256;
  if (const char* value = std::getenv("ZODUVIV_THREADS")) {
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (end != value && *end == '\0' && n >= 1 && n <= kMaxThreads) return static_cast<int>(n);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp<long>(cores, 1, kMaxThreads));
}

int workers_within_budget(size_t frames, size_t bytes_per_worker) {
  const size_t by_memory =
      std::max<size_t>(1, kInFlightBytes / std::max<size_t>(bytes_per_worker, 1));
  return static_cast<int>(std::min<size_t>(
      {static_cast<size_t>(thread_count()), std::max<size_t>(frames, 1), by_memory}));
}

namespace {

int worker_count(int threads, int max_slots) {
  if (max_slots > 0) threads = std::min(threads, max_slots);
  return threads > 1 ? threads : 0;
}

int slot_count(int workers, int max_slots) {
  if (workers == 0) return 1;
  const int slots = workers * OrderedWork::kSlotsPerWorker;
  return max_slots > 0 ? std::min(slots, max_slots) : slots;
}

}  // namespace

OrderedWork::OrderedWork(int threads, Process process, int max_slots)
    : process_(std::move(process)),
      workers_(worker_count(threads, max_slots)),
      slots_(slot_count(workers_, max_slots)),
      done_(static_cast<size_t>(slots_)) {}

OrderedWork::~OrderedWork() { stop(); }

size_t OrderedWork::run(size_t n, const std::function<void(size_t)>& fill,
                        const std::function<bool(size_t)>& drain) {
  start();
  const size_t ring = static_cast<size_t>(slots());
  // Frame i is filled once frame i - ring, the last user of its slot, is drained.
  for (size_t i = 0; i < n; ++i) {
    if (i >= ring) {
      wait(i - ring);
      if (!drain(i - ring)) {
        stop();
        return i - ring;
      }
    }
    fill(i);
    submit(i);
  }
  for (size_t i = n > ring ? n - ring : 0; i < n; ++i) {
    wait(i);
    if (!drain(i)) {
      stop();
      return i;
    }
  }
  stop();
  return n;
}

void OrderedWork::start() {
  stopping_ = false;
  submitted_ = taken_ = 0;
  for (int w = 0; w < workers_; ++w) threads_.emplace_back([this, w] { work(w); });
}

void OrderedWork::submit(size_t frame) {
  const size_t slot = frame % static_cast<size_t>(slots());
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

void OrderedWork::wait(size_t frame) {
  const size_t slot = frame % static_cast<size_t>(slots());
  std::unique_lock<std::mutex> lock(mutex_);
  frame_done_.wait(lock, [this, slot] { return static_cast<bool>(done_[slot]); });
}

// Frames not yet taken are dropped.
void OrderedWork::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void OrderedWork::work(int worker) {
  const size_t ring = static_cast<size_t>(slots());
  for (;;) {
    size_t frame = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_.wait(lock, [this] { return stopping_ || taken_ < submitted_; });
      if (stopping_) return;
      frame = taken_++;
    }
    const size_t slot = frame % ring;
    process_(worker, static_cast<int>(slot));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_[slot] = true;
    }
    frame_done_.notify_all();
  }
}
