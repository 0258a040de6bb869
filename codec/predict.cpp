// codec/predict.cpp: colour decorrelation and median prediction, both directions.
//
// Every residual depends only on bytes at lower positions, so the inverse rebuilds the
// decorrelated frame in the same increasing order, reading only bytes it has already
// rebuilt, and adds byte 1 back to bytes 0 and 2 at the very end.
#include <cstddef>
#include <cstdint>

#include "codec/codec.h"
#include "codec/predict_detail.h"

namespace {

// The median of left, above and the gradient left + above - upper-left, on bytes.
// The median of three values is the gradient clamped between the smaller and the larger
// of left and above. Clamping upper-left instead gives the same result with no value
// outside 0..255: when upper-left >= the larger, the gradient is at most the smaller;
// when it is <= the smaller, the gradient is at least the larger; in between the
// gradient itself lies between them, and lo + hi - upper-left is exact modulo 256. So
// the unreduced gradient of the median is honoured, and the loops over a row, which
// read only bytes that prediction does not change, vectorise on bytes.
inline uint8_t MedianPredict(uint8_t left, uint8_t above, uint8_t upper_left) {
  const uint8_t lo = left < above ? left : above;
  const uint8_t hi = left < above ? above : left;
  const uint8_t clamped = upper_left < lo ? lo : (upper_left > hi ? hi : upper_left);
  return static_cast<uint8_t>(lo + hi - clamped);
}

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
  // of a row's first pixel are the last pixels of the two rows before it. Every residual
  // reads only src, so this is one flat loop over the rest of the frame.
  const unsigned char* left = src + row;
  const unsigned char* above = src + 3;
  const unsigned char* upper_left = src;
  unsigned char* out = dst + row + 3;
  const unsigned char* cur = src + row + 3;
  const size_t count = total - row - 3;
  for (size_t i = 0; i < count; ++i)
    out[i] = static_cast<unsigned char>(cur[i] - MedianPredict(left[i], above[i], upper_left[i]));
}

namespace predict_detail {

void PredictToPlanes(const uint8_t* frame, int width, int height, uint8_t* scratch,
                     uint8_t* plane0, uint8_t* plane1, uint8_t* plane2) {
  if (width <= 0 || height <= 0) return;
  const size_t w = static_cast<size_t>(width);
  uint8_t* const planes[3] = {plane0, plane1, plane2};
  // cur[c] and prev[c]: channel c of this row and the row before, decorrelated.
  uint8_t* cur[3] = {scratch, scratch + w, scratch + 2 * w};
  uint8_t* prev[3] = {scratch + 3 * w, scratch + 4 * w, scratch + 5 * w};
  // Channel c of the last pixel two rows up: the upper-left of a row's first pixel.
  uint8_t last_two_up[3] = {0, 0, 0};

  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    // Decorrelate and split the row in one pass: byte 1 stays, bytes 0 and 2 lose it.
    const uint8_t* in = frame + 3 * w * y;
    uint8_t* c0 = cur[0];
    uint8_t* c1 = cur[1];
    uint8_t* c2 = cur[2];
    for (size_t x = 0; x < w; ++x) {
      const uint8_t g = in[3 * x + 1];
      c0[x] = static_cast<uint8_t>(in[3 * x] - g);
      c1[x] = g;
      c2[x] = static_cast<uint8_t>(in[3 * x + 2] - g);
    }

    for (int c = 0; c < 3; ++c) {
      const uint8_t* d = cur[c];
      const uint8_t* up = prev[c];
      uint8_t* out = planes[c] + w * y;
      if (y == 0) {
        out[0] = d[0];
        for (size_t x = 1; x < w; ++x) out[x] = static_cast<uint8_t>(d[x] - d[x - 1]);
        continue;
      }
      if (y == 1) {
        out[0] = static_cast<uint8_t>(d[0] - up[0]);
      } else {
        out[0] = static_cast<uint8_t>(d[0] - MedianPredict(up[w - 1], up[0], last_two_up[c]));
      }
      for (size_t x = 1; x < w; ++x)
        out[x] = static_cast<uint8_t>(d[x] - MedianPredict(d[x - 1], up[x], up[x - 1]));
    }

    for (int c = 0; c < 3; ++c) {
      if (y > 0) last_two_up[c] = prev[c][w - 1];
      uint8_t* t = prev[c];
      prev[c] = cur[c];
      cur[c] = t;
    }
  }
}

void ReconstructFromPlanes(const uint8_t* plane0, const uint8_t* plane1, const uint8_t* plane2,
                           int width, int height, uint8_t* scratch, uint8_t* frame) {
  if (width <= 0 || height <= 0) return;
  const size_t w = static_cast<size_t>(width);
  const uint8_t* const planes[3] = {plane0, plane1, plane2};
  uint8_t* cur[3] = {scratch, scratch + w, scratch + 2 * w};
  uint8_t* prev[3] = {scratch + 3 * w, scratch + 4 * w, scratch + 5 * w};
  uint8_t last_two_up[3] = {0, 0, 0};

  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    // Each byte needs its left neighbour rebuilt first, so a row is serial in x; the
    // three channels are three independent chains, handled side by side.
    const size_t at = w * y;
    const uint8_t* r0 = plane0 + at;
    const uint8_t* r1 = plane1 + at;
    const uint8_t* r2 = plane2 + at;
    uint8_t* d0 = cur[0];
    uint8_t* d1 = cur[1];
    uint8_t* d2 = cur[2];
    const uint8_t* u0 = prev[0];
    const uint8_t* u1 = prev[1];
    const uint8_t* u2 = prev[2];
    if (y == 0) {
      d0[0] = r0[0];
      d1[0] = r1[0];
      d2[0] = r2[0];
      for (size_t x = 1; x < w; ++x) {
        d0[x] = static_cast<uint8_t>(r0[x] + d0[x - 1]);
        d1[x] = static_cast<uint8_t>(r1[x] + d1[x - 1]);
        d2[x] = static_cast<uint8_t>(r2[x] + d2[x - 1]);
      }
    } else {
      for (int c = 0; c < 3; ++c) {
        const uint8_t* up = prev[c];
        const uint8_t p = y == 1 ? up[0] : MedianPredict(up[w - 1], up[0], last_two_up[c]);
        cur[c][0] = static_cast<uint8_t>(planes[c][at] + p);
      }
      for (size_t x = 1; x < w; ++x) {
        d0[x] = static_cast<uint8_t>(r0[x] + MedianPredict(d0[x - 1], u0[x], u0[x - 1]));
        d1[x] = static_cast<uint8_t>(r1[x] + MedianPredict(d1[x - 1], u1[x], u1[x - 1]));
        d2[x] = static_cast<uint8_t>(r2[x] + MedianPredict(d2[x - 1], u2[x], u2[x - 1]));
      }
    }
    // Add byte 1 back to bytes 0 and 2 while interleaving the row into the frame.
    uint8_t* out = frame + 3 * at;
    for (size_t x = 0; x < w; ++x) {
      const uint8_t g = d1[x];
      out[3 * x] = static_cast<uint8_t>(d0[x] + g);
      out[3 * x + 1] = g;
      out[3 * x + 2] = static_cast<uint8_t>(d2[x] + g);
    }
    for (int c = 0; c < 3; ++c) {
      if (y > 0) last_two_up[c] = prev[c][w - 1];
      uint8_t* t = prev[c];
      prev[c] = cur[c];
      cur[c] = t;
    }
  }
}

}  // namespace predict_detail

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
