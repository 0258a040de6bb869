// codec/predict.cpp: colour decorrelation and median prediction, both directions.
//
// Every residual depends only on bytes at lower positions, so the inverse rebuilds the
// decorrelated frame in the same increasing order, reading only bytes it has already
// rebuilt, and adds byte 1 back to bytes 0 and 2 at the very end.
#include <cstddef>
#include <cstdint>

#include "codec/codec.h"

namespace {

// The gradient is deliberately not reduced modulo 256: with left 200, above 100 and
// upper-left 10 it is 290 and the median picks 200, where a wrapped 34 would pick 100.
inline int Predict(const unsigned char* p, size_t i, size_t row) {
  const int left = p[i - 3];
  const int above = p[i - row];
  const int upper_left = p[i - row - 3];
  return median(left, above, left + above - upper_left);
}

}  // namespace

int median(int x, int y, int z) {
  if (x < y) {
    if (y <= z) return y;
    return x <= z ? z : x;
  }
  if (z < y) return y;
  return z >= x ? x : z;
}

void DeEntropy(unsigned char* src, unsigned char* dst, int width, int height) {
  if (width <= 0 || height <= 0) return;
  const size_t row = static_cast<size_t>(width) * 3;
  const size_t total = row * static_cast<size_t>(height);

  for (size_t p = 0; p < total; p += 3) {
    src[p] = static_cast<unsigned char>(src[p] - src[p + 1]);
    src[p + 2] = static_cast<unsigned char>(src[p + 2] - src[p + 1]);
  }

  dst[0] = src[0];
  dst[1] = src[1];
  dst[2] = src[2];
  for (size_t i = 3; i < row; ++i) dst[i] = static_cast<unsigned char>(src[i] - src[i - 3]);
  if (height == 1) return;
  for (size_t k = 0; k < 3; ++k)
    dst[row + k] = static_cast<unsigned char>(src[row + k] - src[k]);
  // No special case at the start of a row: from the third row on, left and upper-left
  // of a row's first pixel are the last pixels of the two rows before it.
  for (size_t i = row + 3; i < total; ++i)
    dst[i] = static_cast<unsigned char>(src[i] - Predict(src, i, row));
}

void ReEntropy(const unsigned char* residuals, unsigned char* frame, int width, int height) {
  if (width <= 0 || height <= 0) return;
  const size_t row = static_cast<size_t>(width) * 3;
  const size_t total = row * static_cast<size_t>(height);

  frame[0] = residuals[0];
  frame[1] = residuals[1];
  frame[2] = residuals[2];
  for (size_t i = 3; i < row; ++i)
    frame[i] = static_cast<unsigned char>(residuals[i] + frame[i - 3]);
  if (height > 1) {
    for (size_t k = 0; k < 3; ++k)
      frame[row + k] = static_cast<unsigned char>(residuals[row + k] + frame[k]);
    for (size_t i = row + 3; i < total; ++i)
      frame[i] = static_cast<unsigned char>(residuals[i] + Predict(frame, i, row));
  }

  for (size_t p = 0; p < total; p += 3) {
    frame[p] = static_cast<unsigned char>(frame[p] + frame[p + 1]);
    frame[p + 2] = static_cast<unsigned char>(frame[p + 2] + frame[p + 1]);
  }
}
