// codec/predict.cpp: colour decorrelation and median prediction, both directions.
//
// Both directions go a row at a time through two rows of scratch, so a frame is read once
// and its three residual planes are written once. Every residual depends only on bytes
// at lower positions, so the inverse rebuilds the decorrelated frame in the same
// increasing order, reading only bytes it has already rebuilt, and adds byte 1 back to
// bytes 0 and 2 as each pixel is done.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "codec/codec.h"
#include "simd/simd.h"

namespace {

// The median of left, above and the gradient left + above - upper-left, on bytes.
// The median of three values is the gradient clamped between the smaller and the larger
// of left and above. Clamping upper-left instead gives the same result with no value
// outside 0..255: when upper-left >= the larger, the gradient is at most the smaller;
// when it is <= the smaller, the gradient is at least the larger; in between the
// gradient itself lies between them, and lo + hi - upper-left is exact modulo 256. So
// the unreduced gradient of the median is honoured, and the loops over a row, which
// read only bytes that prediction does not change, vectorise on bytes. The gradient is
// deliberately not reduced modulo 256: with left 200, above 100 and upper-left 10 it is
// 290 and the median picks 200, where a wrapped 34 would pick 100.
inline uint8_t MedianPredict(uint8_t left, uint8_t above, uint8_t upper_left) {
  const uint8_t lo = left < above ? left : above;
  const uint8_t hi = left < above ? above : left;
  const uint8_t clamped = upper_left < lo ? lo : (upper_left > hi ? hi : upper_left);
  return static_cast<uint8_t>(lo + hi - clamped);
}

// Slack behind each reconstruction row for 4-byte loads and stores at its last pixel.
constexpr size_t kRowSlack = 8;

// Pixels 1 to w - 1 of a row after the first: cur (decorrelated, interleaved) from the
// residual rows r0, r1, r2 and the row above, and the frame row out with byte 1 added
// back. Each pixel needs its left neighbour rebuilt first, so the loop is serial in x;
// with SSE2 the three channels go through it side by side in 16-bit lanes, where the
// gradient needs no reduction and min and max are single steps.
void ReconstructRow(const uint8_t* r0, const uint8_t* r1, const uint8_t* r2, const uint8_t* up,
                    uint8_t* cur, uint8_t* out, size_t w) {
#if ZODUVIV_SSE2
  const __m128i zero = _mm_setzero_si128();
  const __m128i low_byte = _mm_set1_epi16(0xFF);
  const __m128i outer = _mm_setr_epi16(-1, 0, -1, 0, 0, 0, 0, 0);  // lanes 0 and 2
  auto load3 = [zero](const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);  // the 4th byte is the next pixel's or slack; its lane is unused
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), zero);
  };
  __m128i left = load3(cur);
  for (size_t x = 1; x < w; ++x) {
    const __m128i above = load3(up + 3 * x);
    const __m128i upper_left = load3(up + 3 * x - 3);
    __m128i res = _mm_cvtsi32_si128(static_cast<int>(r0[x] | static_cast<uint32_t>(r1[x]) << 16));
    res = _mm_insert_epi16(res, r2[x], 2);
    const __m128i gradient = _mm_add_epi16(left, _mm_sub_epi16(above, upper_left));
    const __m128i lo = _mm_min_epi16(left, above);
    const __m128i hi = _mm_max_epi16(left, above);
    const __m128i predicted = _mm_min_epi16(_mm_max_epi16(gradient, lo), hi);
    const __m128i value = _mm_and_si128(_mm_add_epi16(predicted, res), low_byte);
    left = value;
    const uint32_t packed = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(value, value)));
    std::memcpy(cur + 3 * x, &packed, 4);  // the 4th byte is rewritten next, or slack
    // Byte 1 added back to bytes 0 and 2.
    const __m128i green = _mm_and_si128(_mm_shufflelo_epi16(value, 0x55), outer);
    const __m128i pixel = _mm_and_si128(_mm_add_epi16(value, green), low_byte);
    const uint32_t bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(pixel, pixel)));
    if (x + 1 < w) {
      std::memcpy(out + 3 * x, &bytes, 4);  // the 4th byte is the next pixel's, written next
    } else {
      std::memcpy(out + 3 * x, &bytes, 3);  // the frame may end here
    }
  }
#else
  const uint8_t* const rows[3] = {r0, r1, r2};
  for (size_t x = 1; x < w; ++x) {
    for (int c = 0; c < 3; ++c) {
      const size_t i = 3 * x + c;
      cur[i] = static_cast<uint8_t>(rows[c][x] + MedianPredict(cur[i - 3], up[i], up[i - 3]));
    }
    const uint8_t g = cur[3 * x + 1];
    out[3 * x] = static_cast<uint8_t>(cur[3 * x] + g);
    out[3 * x + 1] = g;
    out[3 * x + 2] = static_cast<uint8_t>(cur[3 * x + 2] + g);
  }
#endif
}


// Decorrelates one row of w pixels and splits it into its channels: byte 1 stays, bytes 0
// and 2 lose it.
void DecorrelateRow(const uint8_t* in, size_t w, uint8_t* c0, uint8_t* c1, uint8_t* c2) {
  size_t x = 0;
#if ZODUVIV_SSE2
  for (; x + 16 <= w; x += 16) {
    __m128i b0, b1, b2;
    simd::Deinterleave48(in + 3 * x, &b0, &b1, &b2);
    simd::Store16(c0 + x, _mm_sub_epi8(b0, b1));
    simd::Store16(c1 + x, b1);
    simd::Store16(c2 + x, _mm_sub_epi8(b2, b1));
  }
#endif
  for (; x < w; ++x) {
    const uint8_t g = in[3 * x + 1];
    c0[x] = static_cast<uint8_t>(in[3 * x] - g);
    c1[x] = g;
    c2[x] = static_cast<uint8_t>(in[3 * x + 2] - g);
  }
}

// The residuals of row y of one channel: d is the decorrelated row, up the row above and
// two_up_last the last byte of the row two above. The first row predicts from the left,
// the first pixel of the second row from above; every other first pixel takes the last
// pixels of the two rows before it as its left and upper-left neighbours.
void PredictRow(const uint8_t* d, const uint8_t* up, uint8_t two_up_last, size_t y, size_t w,
                uint8_t* out) {
  if (y == 0) {
    out[0] = d[0];
    for (size_t x = 1; x < w; ++x) out[x] = static_cast<uint8_t>(d[x] - d[x - 1]);
    return;
  }
  const uint8_t first = y == 1 ? up[0] : MedianPredict(up[w - 1], up[0], two_up_last);
  out[0] = static_cast<uint8_t>(d[0] - first);
  for (size_t x = 1; x < w; ++x)
    out[x] = static_cast<uint8_t>(d[x] - MedianPredict(d[x - 1], up[x], up[x - 1]));
}

// Row y of the frame rebuilt into cur (decorrelated, interleaved) and out (the frame row)
// where the median of the general case does not apply: the whole first row, and the
// first pixel of every other row. Returns the first pixel left to ReconstructRow.
size_t ReconstructRowStart(const uint8_t* const planes[3], size_t at, size_t y, size_t w,
                           const uint8_t* prev, const uint8_t last_two_up[3], uint8_t* cur,
                           uint8_t* out) {
  const size_t row = 3 * w;
  size_t first_general = 1;
  if (y == 0) {
    for (int c = 0; c < 3; ++c) cur[c] = planes[c][at];
    for (size_t x = 1; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        cur[3 * x + c] = static_cast<uint8_t>(planes[c][at + x] + cur[3 * x - 3 + c]);
    first_general = w;
  } else {
    for (int c = 0; c < 3; ++c) {
      const uint8_t p = y == 1 ? prev[c] : MedianPredict(prev[row - 3 + c], prev[c], last_two_up[c]);
      cur[c] = static_cast<uint8_t>(planes[c][at] + p);
    }
  }
  for (size_t x = 0; x < first_general; ++x) {
    const uint8_t g = cur[3 * x + 1];
    out[3 * x] = static_cast<uint8_t>(cur[3 * x] + g);
    out[3 * x + 1] = g;
    out[3 * x + 2] = static_cast<uint8_t>(cur[3 * x + 2] + g);
  }
  return first_general;
}

}  // namespace

size_t PredictScratchBytes(int width) { return 6 * static_cast<size_t>(width) + 16; }

void DeEntropy(const unsigned char* frame, unsigned char* planes, int width, int height,
               unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
  const size_t w = static_cast<size_t>(width);
  const size_t n = w * static_cast<size_t>(height);
  // cur[c] and prev[c]: channel c of this row and the row before, decorrelated.
  uint8_t* cur[3] = {scratch, scratch + w, scratch + 2 * w};
  uint8_t* prev[3] = {scratch + 3 * w, scratch + 4 * w, scratch + 5 * w};
  // Channel c of the last pixel two rows up: the upper-left of a row's first pixel.
  uint8_t last_two_up[3] = {0, 0, 0};
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    DecorrelateRow(frame + 3 * w * y, w, cur[0], cur[1], cur[2]);
    for (int c = 0; c < 3; ++c) {
      PredictRow(cur[c], prev[c], last_two_up[c], y, w, planes + c * n + w * y);
      if (y > 0) last_two_up[c] = prev[c][w - 1];
      std::swap(prev[c], cur[c]);
    }
  }
}

void ReEntropy(const unsigned char* planes, unsigned char* frame, int width, int height,
               unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
  const size_t w = static_cast<size_t>(width);
  const size_t n = w * static_cast<size_t>(height);
  const size_t row = 3 * w;
  const uint8_t* const plane[3] = {planes, planes + n, planes + 2 * n};
  // This row and the row before, decorrelated, pixels interleaved; each row has slack
  // for a 4-byte access at its last pixel.
  uint8_t* cur = scratch;
  uint8_t* prev = scratch + row + kRowSlack;
  uint8_t last_two_up[3] = {0, 0, 0};  // the last pixel two rows up
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    const size_t at = w * y;
    uint8_t* out = frame + 3 * at;
    const size_t first_general = ReconstructRowStart(plane, at, y, w, prev, last_two_up, cur, out);
    if (first_general < w) ReconstructRow(plane[0] + at, plane[1] + at, plane[2] + at, prev, cur, out, w);
    if (y > 0) {
      for (int c = 0; c < 3; ++c) last_two_up[c] = prev[row - 3 + c];
    }
    std::swap(prev, cur);
  }
}
