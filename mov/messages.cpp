// mov/messages.cpp: the movie reader's messages, on standard output or captured.
#include "mov/messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "mov/mov.h"

namespace {

// The text of the capture that lives, if any. Movies are read on one thread.
std::string* g_capture = nullptr;

}  // namespace

MovieMessageCapture::MovieMessageCapture(std::string& text) : previous_(g_capture) {
  g_capture = &text;
}

MovieMessageCapture::~MovieMessageCapture() { g_capture = previous_; }

namespace mov_internal {

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (g_capture == nullptr) {
    std::vprintf(format, args);
  } else {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (n > 0) {
      const size_t at = g_capture->size();
      g_capture->resize(at + static_cast<size_t>(n) + 1);
      std::vsnprintf(&(*g_capture)[at], static_cast<size_t>(n) + 1, format, args);
      g_capture->resize(at + static_cast<size_t>(n));
    }
  }
  va_end(args);
}

}  // namespace mov_internal
