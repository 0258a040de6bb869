// common/progress.cpp: the progress line of a long pass.
#include <unistd.h>

#include <cstdio>

#include "common/common.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

}  // namespace

Progress::Progress(size_t total)
    : enabled_(::isatty(STDERR_FILENO) == 1 && total > 0),
      total_(total),
      start_(Clock::now()),
      last_draw_(start_) {}

void Progress::update(size_t done) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - last_draw_ < kRedrawInterval && done != total_) return;
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double fps = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const int left = fps > 0 ? static_cast<int>(static_cast<double>(total_ - done) / fps + 0.5) : 0;
  std::fprintf(stderr, "\r%zu/%zu frames, %.1f frames/s, %d:%02d:%02d left\033[K", done, total_,
               fps, left / 3600, left / 60 % 60, left % 60);
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::finish() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}
