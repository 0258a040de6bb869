// "raw " frames (RGB, top row first) to DIB frames (BGR, bottom row first). Rows are
// packed on both sides: width * 3 bytes, never rounded up to a multiple of 4.
#include <cstring>

#include "mov/mov.h"

void raw_to_BGR(const unsigned char* source, unsigned char* target, int width, int height) {
  if (width <= 0 || height <= 0) return;
  const size_t row = static_cast<size_t>(width) * 3;
  const size_t rows = static_cast<size_t>(height);
  for (size_t y = 0; y < rows; ++y)
    std::memcpy(target + y * row, source + (rows - 1 - y) * row, row);
  unsigned char* p = target;
  unsigned char* const end = target + row * rows;
  for (; p != end; p += 3) {
    const unsigned char red = p[0];
    p[0] = p[2];
    p[2] = red;
  }
}
