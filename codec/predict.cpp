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

#if !ZODUVIV_SSE2
// Pixels 1 to w - 1 of a row after the first: cur (decorrelated, interleaved) from the
// residual rows r0, r1, r2 and the row above, and the frame row out with byte 1 added
// back. Each pixel needs its left neighbour rebuilt first, so the loop is serial in x.
// (The SSE2 build rebuilds rows in 16-bit lanes instead: ReEntropy16 below.)
void ReconstructRow(const uint8_t* r0, const uint8_t* r1, const uint8_t* r2, const uint8_t* up,
                    uint8_t* cur, uint8_t* out, size_t w) {
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
}

#endif

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

#if !ZODUVIV_SSE2
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
#endif

#if ZODUVIV_SSE2
// The SSE2 decoder keeps a rebuilt (decorrelated) row as one 64-bit group of four 16-bit
// lanes per pixel, channels 0 to 2 and an unused lane: the serial loop over a row then
// loads the pixel above and stores the pixel it rebuilds with one instruction each,
// carries the upper-left pixel over from the step before, and reads its residuals
// already spread into lanes by a vector pass over the row.

// Residuals of pixels [0, w) of the three planes at r0, r1, r2 spread into lanes.
void SpreadResiduals(const uint8_t* r0, const uint8_t* r1, const uint8_t* r2, size_t w,
                     uint16_t* res) {
  const __m128i zero = _mm_setzero_si128();
  size_t x = 0;
  for (; x + 16 <= w; x += 16) {
    const __m128i a = simd::Load16(r0 + x);
    const __m128i b = simd::Load16(r1 + x);
    const __m128i c = simd::Load16(r2 + x);
    const __m128i ab_lo = _mm_unpacklo_epi8(a, b);  // a0 b0 a1 b1 ... as bytes
    const __m128i ab_hi = _mm_unpackhi_epi8(a, b);
    const __m128i c0_lo = _mm_unpacklo_epi8(c, zero);
    const __m128i c0_hi = _mm_unpackhi_epi8(c, zero);
    // Bytes a b c 0 per pixel, then widened to 16-bit lanes.
    const __m128i p[4] = {_mm_unpacklo_epi16(ab_lo, c0_lo), _mm_unpackhi_epi16(ab_lo, c0_lo),
                          _mm_unpacklo_epi16(ab_hi, c0_hi), _mm_unpackhi_epi16(ab_hi, c0_hi)};
    for (int k = 0; k < 4; ++k) {
      simd::Store16(res + 4 * (x + 4 * k), _mm_unpacklo_epi8(p[k], zero));
      simd::Store16(res + 4 * (x + 4 * k + 2), _mm_unpackhi_epi8(p[k], zero));
    }
  }
  for (; x < w; ++x) {
    res[4 * x] = r0[x];
    res[4 * x + 1] = r1[x];
    res[4 * x + 2] = r2[x];
    res[4 * x + 3] = 0;
  }
}

inline __m128i LoadPixel(const uint16_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline void StorePixel(uint16_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

// The median prediction of one pixel in 16-bit lanes, where the gradient needs no
// reduction and min and max are single steps; the residual added modulo 256.
inline __m128i RebuildPixel(__m128i left, __m128i above, __m128i upper_left, __m128i res) {
  const __m128i gradient = _mm_add_epi16(left, _mm_sub_epi16(above, upper_left));
  const __m128i lo = _mm_min_epi16(left, above);
  const __m128i hi = _mm_max_epi16(left, above);
  const __m128i predicted = _mm_min_epi16(_mm_max_epi16(gradient, lo), hi);
  return _mm_and_si128(_mm_add_epi16(predicted, res), _mm_set1_epi16(0xFF));
}

// Row y rebuilt into cur from its residuals and the row above (prev); last_two_up is the
// last pixel of the row two above, the upper-left of the row's first pixel.
void RebuildRow16(const uint16_t* res, const uint16_t* prev, __m128i last_two_up, size_t y,
                  size_t w, uint16_t* cur) {
  const __m128i low_byte = _mm_set1_epi16(0xFF);
  __m128i left;
  if (y == 0) {
    left = LoadPixel(res);
    StorePixel(cur, left);
    for (size_t x = 1; x < w; ++x) {
      left = _mm_and_si128(_mm_add_epi16(left, LoadPixel(res + 4 * x)), low_byte);
      StorePixel(cur + 4 * x, left);
    }
    return;
  }
  const __m128i above0 = LoadPixel(prev);
  if (y == 1) {
    left = _mm_and_si128(_mm_add_epi16(above0, LoadPixel(res)), low_byte);
  } else {
    left = RebuildPixel(LoadPixel(prev + 4 * (w - 1)), above0, last_two_up, LoadPixel(res));
  }
  StorePixel(cur, left);
  __m128i upper_left = above0;
  for (size_t x = 1; x < w; ++x) {
    const __m128i above = LoadPixel(prev + 4 * x);
    left = RebuildPixel(left, above, upper_left, LoadPixel(res + 4 * x));
    StorePixel(cur + 4 * x, left);
    upper_left = above;
  }
}

// The frame row from a rebuilt row: byte 1 added back to bytes 0 and 2, two pixels a
// step, each written as 4 bytes whose last is the next pixel's; the row's last pixel is
// written as 3, since the frame may end there.
void WriteFrameRow(const uint16_t* cur, size_t w, uint8_t* out) {
  const __m128i low_byte = _mm_set1_epi16(0xFF);
  const __m128i outer = _mm_setr_epi16(-1, 0, -1, 0, -1, 0, -1, 0);  // channels 0 and 2
  size_t x = 0;
  for (; x + 2 < w; x += 2) {
    const __m128i v = simd::Load16(cur + 4 * x);
    const __m128i green = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0x55), 0x55);
    const __m128i pixel = _mm_and_si128(_mm_add_epi16(v, _mm_and_si128(green, outer)), low_byte);
    const __m128i bytes = _mm_packus_epi16(pixel, pixel);
    const uint32_t first = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
    const uint32_t second = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_epi64(bytes, 32)));
    std::memcpy(out + 3 * x, &first, 4);
    std::memcpy(out + 3 * x + 3, &second, 4);  // x + 2 < w: its 4th byte is pixel x + 2's
  }
  for (; x < w; ++x) {
    const uint16_t* p = cur + 4 * x;
    out[3 * x] = static_cast<uint8_t>(p[0] + p[1]);
    out[3 * x + 1] = static_cast<uint8_t>(p[1]);
    out[3 * x + 2] = static_cast<uint8_t>(p[2] + p[1]);
  }
}

// ReEntropy in 16-bit lanes.
void ReEntropy16(const unsigned char* planes, unsigned char* frame, size_t w, size_t h,
                 unsigned char* scratch) {
  const size_t n = w * h;
  // 16-byte aligned rows of 4 lanes a pixel; each row a multiple of 8 bytes long.
  uintptr_t at = (reinterpret_cast<uintptr_t>(scratch) + 15) & ~uintptr_t{15};
  uint16_t* cur = reinterpret_cast<uint16_t*>(at);
  uint16_t* prev = cur + 4 * w;
  uint16_t* res = prev + 4 * w;
  __m128i last_two_up = _mm_setzero_si128();
  for (size_t y = 0; y < h; ++y) {
    SpreadResiduals(planes + w * y, planes + n + w * y, planes + 2 * n + w * y, w, res);
    RebuildRow16(res, prev, last_two_up, y, w, cur);
    WriteFrameRow(cur, w, frame + 3 * w * y);
    if (y > 0) last_two_up = LoadPixel(prev + 4 * (w - 1));
    std::swap(prev, cur);
  }
}
#endif

}  // namespace

// The scalar forms use two rows of three bytes a pixel; the SSE2 decoder three rows of
// four 16-bit lanes a pixel (two rebuilt rows and the row's residuals), plus alignment.
size_t PredictScratchBytes(int width) { return 24 * static_cast<size_t>(width) + 32; }

namespace {

// DeEntropy over rows given by the first (bottom, in DIB terms) row and the step to the
// next; with rgb the rows hold red, green, blue, which is byte 2, 1, 0 of the DIB form,
// so the decorrelated channels 0 and 2 simply trade places.
void DeEntropyRows(const uint8_t* first_row, ptrdiff_t step, bool rgb, uint8_t* planes, size_t w,
                   size_t h, uint8_t* scratch) {
  const size_t n = w * h;
  // cur[c] and prev[c]: channel c of this row and the row before, decorrelated.
  uint8_t* cur[3] = {scratch, scratch + w, scratch + 2 * w};
  uint8_t* prev[3] = {scratch + 3 * w, scratch + 4 * w, scratch + 5 * w};
  // Channel c of the last pixel two rows up: the upper-left of a row's first pixel.
  uint8_t last_two_up[3] = {0, 0, 0};
  const uint8_t* row = first_row;
  for (size_t y = 0; y < h; ++y, row += step) {
    DecorrelateRow(row, w, cur[rgb ? 2 : 0], cur[1], cur[rgb ? 0 : 2]);
    for (int c = 0; c < 3; ++c) {
      PredictRow(cur[c], prev[c], last_two_up[c], y, w, planes + c * n + w * y);
      if (y > 0) last_two_up[c] = prev[c][w - 1];
      std::swap(prev[c], cur[c]);
    }
  }
}

}  // namespace

void DeEntropy(const unsigned char* frame, unsigned char* planes, int width, int height,
               unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
  const size_t w = static_cast<size_t>(width);
  DeEntropyRows(frame, static_cast<ptrdiff_t>(3 * w), false, planes, w,
                static_cast<size_t>(height), scratch);
}

void DeEntropyRaw(const unsigned char* raw, unsigned char* planes, int width, int height,
                  unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  DeEntropyRows(raw + 3 * w * (h - 1), -static_cast<ptrdiff_t>(3 * w), true, planes, w, h,
                scratch);
}

void ReEntropy(const unsigned char* planes, unsigned char* frame, int width, int height,
               unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
#if ZODUVIV_SSE2
  ReEntropy16(planes, frame, static_cast<size_t>(width), static_cast<size_t>(height), scratch);
#else
  const size_t w = static_cast<size_t>(width);
  const size_t n = w * static_cast<size_t>(height);
  const size_t row = 3 * w;
  const uint8_t* const plane[3] = {planes, planes + n, planes + 2 * n};
  // This row and the row before, decorrelated, pixels interleaved.
  uint8_t* cur = scratch;
  uint8_t* prev = scratch + row;
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
#endif
}
