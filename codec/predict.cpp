// codec/predict.cpp: colour decorrelation and median prediction, both directions.
//
// Every residual depends only on bytes at lower positions, so the inverse rebuilds the
// decorrelated frame in the same increasing order, reading only bytes it has already
// rebuilt, and adds byte 1 back to bytes 0 and 2 at the very end.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// read only bytes that prediction does not change, vectorise on bytes. The gradient is
// deliberately not reduced modulo 256: with left 200, above 100 and upper-left 10 it is
// 290 and the median picks 200, where a wrapped 34 would pick 100.
inline uint8_t MedianPredict(uint8_t left, uint8_t above, uint8_t upper_left) {
  const uint8_t lo = left < above ? left : above;
  const uint8_t hi = left < above ? above : left;
  const uint8_t clamped = upper_left < lo ? lo : (upper_left > hi ? hi : upper_left);
  return static_cast<uint8_t>(lo + hi - clamped);
}

#if defined(__SSE2__)
// Splits 16 pixels (48 bytes at p) into their byte 0, byte 1 and byte 2 vectors. Each
// round interleaves the low half of one vector with the high half of the next, a
// perfect shuffle of the 48 bytes; after four rounds byte k of pixel j sits at j of
// vector k. (SSE2 has no byte shuffle, so unpacking is the way.)
inline void Deinterleave48(const uint8_t* p, __m128i* b0, __m128i* b1, __m128i* b2) {
  __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  for (int round = 0; round < 4; ++round) {
    const __m128i t0 = _mm_unpacklo_epi8(v0, _mm_unpackhi_epi64(v1, v1));
    const __m128i t1 = _mm_unpacklo_epi8(_mm_unpackhi_epi64(v0, v0), v2);
    const __m128i t2 = _mm_unpacklo_epi8(v1, _mm_unpackhi_epi64(v2, v2));
    v0 = t0;
    v1 = t1;
    v2 = t2;
  }
  *b0 = v0;
  *b1 = v1;
  *b2 = v2;
}
#endif

// Slack behind each reconstruction row for 4-byte loads and stores at its last pixel.
constexpr size_t kRowSlack = 8;

// Pixels 1 to w - 1 of a row after the first: cur (decorrelated, interleaved) from the
// residual rows r0, r1, r2 and the row above, and the frame row out with byte 1 added
// back. Each pixel needs its left neighbour rebuilt first, so the loop is serial in x;
// with SSE2 the three channels go through it side by side in 16-bit lanes, where the
// gradient needs no reduction and min and max are single steps.
void ReconstructRow(const uint8_t* r0, const uint8_t* r1, const uint8_t* r2, const uint8_t* up,
                    uint8_t* cur, uint8_t* out, size_t w) {
#if defined(__SSE2__)
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
    size_t split = 0;
#if defined(__SSE2__)
    for (; split + 16 <= w; split += 16) {
      __m128i b0, b1, b2;
      Deinterleave48(in + 3 * split, &b0, &b1, &b2);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(c0 + split), _mm_sub_epi8(b0, b1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(c1 + split), b1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(c2 + split), _mm_sub_epi8(b2, b1));
    }
#endif
    for (size_t x = split; x < w; ++x) {
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
  const size_t row = 3 * w;
  const uint8_t* const planes[3] = {plane0, plane1, plane2};
  // This row and the row before, decorrelated, pixels interleaved; each row has slack
  // for a 4-byte access at its last pixel.
  uint8_t* cur = scratch;
  uint8_t* prev = scratch + row + kRowSlack;
  uint8_t last_two_up[3] = {0, 0, 0};  // the last pixel two rows up

  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    const size_t at = w * y;
    uint8_t* out = frame + 3 * at;
    // The pixels whose prediction is not the median of the general case.
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
    if (first_general < w) {
      ReconstructRow(plane0 + at, plane1 + at, plane2 + at, prev, cur, out, w);
    }
    if (y > 0) {
      for (int c = 0; c < 3; ++c) last_two_up[c] = prev[row - 3 + c];
    }
    uint8_t* t = prev;
    prev = cur;
    cur = t;
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

size_t PredictScratchBytes(int width) { return predict_detail::PlaneScratchBytes(width); }

void DeEntropy(const unsigned char* frame, unsigned char* planes, int width, int height,
               unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  predict_detail::PredictToPlanes(frame, width, height, scratch, planes, planes + n, planes + 2 * n);
}

void ReEntropy(const unsigned char* planes, unsigned char* frame, int width, int height,
               unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  predict_detail::ReconstructFromPlanes(planes, planes + n, planes + 2 * n, width, height, scratch, frame);
}
