// driver/progress.h: the progress line of a long conversion (private to the driver).
#ifndef DRIVER_PROGRESS_H_
#define DRIVER_PROGRESS_H_

#include <chrono>

// One line on standard error, redrawn at most four times a second, with frames done and
// total, frames per second and time left; erased by finish() or when it goes out of scope. Silent unless standard error
// is a terminal, so standard output and redirected runs are never touched.
class Progress {
 public:
  explicit Progress(int total);
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void update(int done);
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool drawn_ = false;
  int total_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

#endif  // DRIVER_PROGRESS_H_
