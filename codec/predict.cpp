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
// (The SSE2 build rebuilds rows on words of bytes instead: ReEntropy32 below.)
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
      const uint8_t p =
          y == 1 ? prev[c] : MedianPredict(prev[row - 3 + c], prev[c], last_two_up[c]);
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
// The SSE2 decoder keeps a rebuilt (decorrelated) row as one 32-bit word per pixel,
// channels 0 to 2 and a 0 byte, and predicts on bytes, where every step wraps modulo
// 256 by itself: prediction + residual = (left + above + residual) - clamped, with
// clamped the upper-left clamped between left and above (see MedianPredict). From one
// pixel to the next the chain is then min, max, subtract (see RebuildPixel); left +
// above + residual is worked out beside it. The serial loop loads the pixel above and
// stores its pixel with one instruction each and carries the upper-left pixel over from
// the step before; residuals are spread into words, and the frame row written from the
// words, by vector passes over the row.

// Residuals of pixels [0, w) of the three planes at r0, r1, r2 as words.
void SpreadResiduals(const uint8_t* r0, const uint8_t* r1, const uint8_t* r2, size_t w,
                     uint32_t* res) {
  const __m128i zero = _mm_setzero_si128();
  size_t x = 0;
  for (; x + 16 <= w; x += 16) {
    const __m128i a = simd::Load16(r0 + x);
    const __m128i b = simd::Load16(r1 + x);
    const __m128i c = simd::Load16(r2 + x);
    const __m128i ab_lo = _mm_unpacklo_epi8(a, b);  // a0 b0 a1 b1 ...
    const __m128i ab_hi = _mm_unpackhi_epi8(a, b);
    const __m128i c0_lo = _mm_unpacklo_epi8(c, zero);  // c0 0 c1 0 ...
    const __m128i c0_hi = _mm_unpackhi_epi8(c, zero);
    simd::Store16(res + x, _mm_unpacklo_epi16(ab_lo, c0_lo));
    simd::Store16(res + x + 4, _mm_unpackhi_epi16(ab_lo, c0_lo));
    simd::Store16(res + x + 8, _mm_unpacklo_epi16(ab_hi, c0_hi));
    simd::Store16(res + x + 12, _mm_unpackhi_epi16(ab_hi, c0_hi));
  }
  for (; x < w; ++x)
    res[x] = r0[x] | static_cast<uint32_t>(r1[x]) << 8 | static_cast<uint32_t>(r2[x]) << 16;
}

inline __m128i LoadPixel(const uint32_t* p) { return _mm_cvtsi32_si128(static_cast<int>(*p)); }
inline void StorePixel(uint32_t* p, __m128i v) { *p = static_cast<uint32_t>(_mm_cvtsi128_si32(v)); }

// The median prediction of one pixel plus its residual, on bytes. The upper-left
// clamped between left and above is the median of the three, which is
// max(min(upper-left, above), min(max(upper-left, above), left)). The pixels above are
// known early, so the left one, the end of the previous step, goes through two steps to
// the median and one more to the result; clamping between the smaller and the larger of
// left and above would take three to the median.
inline __m128i RebuildPixel(__m128i left, __m128i above, __m128i upper_left, __m128i res) {
  const __m128i lo = _mm_min_epu8(upper_left, above);
  const __m128i hi = _mm_max_epu8(upper_left, above);
  const __m128i clamped = _mm_max_epu8(lo, _mm_min_epu8(hi, left));
  return _mm_sub_epi8(_mm_add_epi8(left, _mm_add_epi8(above, res)), clamped);
}

// Where the next `words` residual words (8 pixels of one frame, or 8 pairs) are all zero
// and the left pixel equals the upper-left one (same_edge), each pixel is the one above
// it: the median of left, above and left + above - upper-left is then above, and the
// next pixel's left and upper-left are again equal. The words above are copied over and
// true returned. Areas of one colour and edges that run down the picture (screens,
// drawings) go through here most of the time; on other pictures the residuals are
// rarely all zero and the test ends after them.
inline bool CopiesAbove(const uint32_t* res, const uint32_t* above, bool same_edge, int words,
                        uint32_t* cur) {
  if (!same_edge) return false;
  __m128i any = simd::Load16(res);
  for (int k = 4; k < words; k += 4) any = _mm_or_si128(any, simd::Load16(res + k));
  if (simd::ZeroBits16(any) != 0xFFFFu) return false;
  for (int k = 0; k < words; k += 4) simd::Store16(cur + k, simd::Load16(above + k));
  return true;
}

// Whether a and b hold the same pixel (low word), or the same pair (low two words).
inline bool SamePixel(__m128i a, __m128i b) {
  return (_mm_movemask_epi8(_mm_cmpeq_epi32(a, b)) & 0xF) == 0xF;
}
inline bool SamePair(__m128i a, __m128i b) {
  return (_mm_movemask_epi8(_mm_cmpeq_epi32(a, b)) & 0xFF) == 0xFF;
}

// Row y rebuilt into cur from its residuals and the row above (prev); last_two_up is the
// last pixel of the row two above, the upper-left of the row's first pixel. For y > 0,
// copied[g] tells whether pixels 1 + 8 g to 8 + 8 g, the groups of the fast test, were
// copied from the row above, for every whole group.
void RebuildRow32(const uint32_t* res, const uint32_t* prev, __m128i last_two_up, size_t y,
                  size_t w, uint32_t* cur, uint8_t* copied) {
  __m128i left;
  if (y == 0) {
    left = LoadPixel(res);
    StorePixel(cur, left);
    for (size_t x = 1; x < w; ++x) {
      left = _mm_add_epi8(left, LoadPixel(res + x));
      StorePixel(cur + x, left);
    }
    return;
  }
  const __m128i above0 = LoadPixel(prev);
  if (y == 1) {
    left = _mm_add_epi8(above0, LoadPixel(res));
  } else {
    left = RebuildPixel(LoadPixel(prev + w - 1), above0, last_two_up, LoadPixel(res));
  }
  StorePixel(cur, left);
  __m128i upper_left = above0;
  size_t x = 1;
  // Eight steps a turn, a single test where they would copy the pixels above.
  for (; x + 8 <= w; x += 8) {
    const bool copy = CopiesAbove(res + x, prev + x, SamePixel(left, upper_left), 8, cur + x);
    copied[x / 8] = copy;
    if (copy) {
      left = upper_left = LoadPixel(prev + x + 7);
      continue;
    }
    for (size_t k = x; k < x + 8; ++k) {
      const __m128i above = LoadPixel(prev + k);
      left = RebuildPixel(left, above, upper_left, LoadPixel(res + k));
      StorePixel(cur + k, left);
      upper_left = above;
    }
  }
  for (; x < w; ++x) {
    const __m128i above = LoadPixel(prev + x);
    left = RebuildPixel(left, above, upper_left, LoadPixel(res + x));
    StorePixel(cur + x, left);
    upper_left = above;
  }
}

// Two pixels of a frame (words, channels 0 to 2) in each half of v, byte 1 added back to
// bytes 0 and 2, and each half's two pixels moved together into its low 6 bytes.
inline __m128i PackTwoPixels(__m128i v) {
  const __m128i green = _mm_and_si128(_mm_srli_epi32(v, 8), _mm_set1_epi32(0xFF));
  const __m128i pixel = _mm_add_epi8(v, _mm_or_si128(green, _mm_slli_epi32(green, 16)));
  const __m128i first = _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF);
  return _mm_or_si128(_mm_and_si128(pixel, first),
                      _mm_srli_epi64(_mm_andnot_si128(first, pixel), 8));
}

// 6 bytes from the low (high) half of v, written as 8: the next 2 are overwritten later.
inline void PutLowSix(__m128i v, uint8_t* out) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), v);
}
inline void PutHighSix(__m128i v, uint8_t* out) {
  // movhps would store it as one instruction, but through a double* that need not be
  // aligned.
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_unpackhi_epi64(v, v));
}

// Four pixels of a rebuilt row (words, channels 0 to 2) into the frame with byte 1 added
// back to bytes 0 and 2, written as 14 bytes whose last 2 are the next pixel's: the
// frame must go on for at least one more pixel.
inline void PutFour(__m128i v, uint8_t* out) {
  const __m128i packed = PackTwoPixels(v);
  PutLowSix(packed, out);
  PutHighSix(packed, out + 6);
}

inline void PutOne(uint32_t p, uint8_t* out) {
  const uint8_t g = static_cast<uint8_t>(p >> 8);
  out[0] = static_cast<uint8_t>(p + g);
  out[1] = g;
  out[2] = static_cast<uint8_t>((p >> 16) + g);
}

// The frame row from a rebuilt row. A group that the rebuild copied from the row above
// (copied, null for the first row) is copied from the frame row above, 24 bytes; the
// others go four pixels a step, and the last pixels of the row one by one, since the
// frame may end there.
void WriteFrameRow(const uint32_t* cur, size_t w, const uint8_t* copied, uint8_t* out) {
  PutOne(cur[0], out);
  size_t x = 1;
  if (copied != nullptr) {
    for (; x + 8 <= w; x += 8) {
      if (copied[x / 8]) {
        std::memcpy(out + 3 * x, out + 3 * x - 3 * w, 24);
        continue;
      }
      if (x + 8 == w) break;  // the row's last pixel goes alone below
      PutFour(simd::Load16(cur + x), out + 3 * x);
      PutFour(simd::Load16(cur + x + 4), out + 3 * x + 12);
    }
  }
  for (; x + 4 < w; x += 4) PutFour(simd::Load16(cur + x), out + 3 * x);
  for (; x < w; ++x) PutOne(cur[x], out + 3 * x);
}

// ReEntropy on words of bytes.
void ReEntropy32(const unsigned char* const planes[3], unsigned char* frame, size_t w, size_t h,
                 unsigned char* scratch) {
  // 16-byte aligned rows of one word a pixel.
  const uintptr_t at = (reinterpret_cast<uintptr_t>(scratch) + 15) & ~uintptr_t{15};
  uint32_t* cur = reinterpret_cast<uint32_t*>(at);
  uint32_t* prev = cur + w + 4;  // + 4 keeps each row 16-byte aligned
  uint32_t* res = prev + w + 4;
  uint8_t* copied = reinterpret_cast<uint8_t*>(res + w + 4);  // one byte per 8 pixels
  __m128i last_two_up = _mm_setzero_si128();
  for (size_t y = 0; y < h; ++y) {
    SpreadResiduals(planes[0] + w * y, planes[1] + w * y, planes[2] + w * y, w, res);
    RebuildRow32(res, prev, last_two_up, y, w, cur, copied);
    WriteFrameRow(cur, w, y > 0 ? copied : nullptr, frame + 3 * w * y);
    if (y > 0) last_two_up = LoadPixel(prev + w - 1);
    std::swap(prev, cur);
  }
}
// Two frames rebuilt side by side: a pixel of each in the two low words of a vector, so
// the one serial chain of the rebuild carries two pixels per step. Rows hold pairs of
// words, frame 0's pixel, then frame 1's.

// The residual words of 16 pixels of one frame from its three planes at x.
inline void ResidualWords16(const uint8_t* const r[3], size_t x, __m128i words[4]) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i a = simd::Load16(r[0] + x);
  const __m128i b = simd::Load16(r[1] + x);
  const __m128i c = simd::Load16(r[2] + x);
  const __m128i ab_lo = _mm_unpacklo_epi8(a, b);
  const __m128i ab_hi = _mm_unpackhi_epi8(a, b);
  const __m128i c0_lo = _mm_unpacklo_epi8(c, zero);
  const __m128i c0_hi = _mm_unpackhi_epi8(c, zero);
  words[0] = _mm_unpacklo_epi16(ab_lo, c0_lo);
  words[1] = _mm_unpackhi_epi16(ab_lo, c0_lo);
  words[2] = _mm_unpacklo_epi16(ab_hi, c0_hi);
  words[3] = _mm_unpackhi_epi16(ab_hi, c0_hi);
}

// Residuals of pixels [0, w) of both frames as pairs of words. 16 pixels whose six
// residual bytes are all zero, as most are on flat pictures, are stored as zeros.
void SpreadResidualsTwo(const uint8_t* const r[2][3], size_t w, uint32_t* pairs) {
  size_t x = 0;
  for (; x + 16 <= w; x += 16) {
    __m128i any = simd::Load16(r[0][0] + x);
    for (int f = 0; f < 2; ++f)
      for (int c = f == 0 ? 1 : 0; c < 3; ++c) any = _mm_or_si128(any, simd::Load16(r[f][c] + x));
    if (simd::ZeroBits16(any) == 0xFFFFu) {
      for (int k = 0; k < 32; k += 4) simd::Store16(pairs + 2 * x + k, _mm_setzero_si128());
      continue;
    }
    __m128i a[4], b[4];
    ResidualWords16(r[0], x, a);
    ResidualWords16(r[1], x, b);
    for (int k = 0; k < 4; ++k) {
      simd::Store16(pairs + 2 * x + 8 * k, _mm_unpacklo_epi32(a[k], b[k]));
      simd::Store16(pairs + 2 * x + 8 * k + 4, _mm_unpackhi_epi32(a[k], b[k]));
    }
  }
  for (; x < w; ++x)
    for (int f = 0; f < 2; ++f)
      pairs[2 * x + f] = r[f][0][x] | static_cast<uint32_t>(r[f][1][x]) << 8 |
                         static_cast<uint32_t>(r[f][2][x]) << 16;
}

inline __m128i LoadPair(const uint32_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline void StorePair(uint32_t* p, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

// RebuildRow32 on pairs of pixels (rows of 2 w words). For y > 0, copied[g] tells
// whether pixels 1 + 8 g to 8 + 8 g, the groups of the fast test, were copied from the
// row above, for every whole group.
void RebuildRowTwo(const uint32_t* res, const uint32_t* prev, __m128i last_two_up, size_t y,
                   size_t w, uint32_t* cur, uint8_t* copied) {
  __m128i left;
  if (y == 0) {
    left = LoadPair(res);
    StorePair(cur, left);
    for (size_t x = 1; x < w; ++x) {
      left = _mm_add_epi8(left, LoadPair(res + 2 * x));
      StorePair(cur + 2 * x, left);
    }
    return;
  }
  const __m128i above0 = LoadPair(prev);
  if (y == 1) {
    left = _mm_add_epi8(above0, LoadPair(res));
  } else {
    left = RebuildPixel(LoadPair(prev + 2 * (w - 1)), above0, last_two_up, LoadPair(res));
  }
  StorePair(cur, left);
  __m128i upper_left = above0;
  size_t x = 1;
  // Eight steps a turn, a single test where they would copy the pairs above.
  for (; x + 8 <= w; x += 8) {
    const bool copy =
        CopiesAbove(res + 2 * x, prev + 2 * x, SamePair(left, upper_left), 16, cur + 2 * x);
    copied[x / 8] = copy;
    if (copy) {
      left = upper_left = LoadPair(prev + 2 * x + 14);
      continue;
    }
    for (size_t k = x; k < x + 8; k += 2) {
      const __m128i above_a = LoadPair(prev + 2 * k);
      const __m128i above_b = LoadPair(prev + 2 * k + 2);
      left = RebuildPixel(left, above_a, upper_left, LoadPair(res + 2 * k));
      StorePair(cur + 2 * k, left);
      left = RebuildPixel(left, above_b, above_a, LoadPair(res + 2 * k + 2));
      StorePair(cur + 2 * k + 2, left);
      upper_left = above_b;
    }
  }
  // Two steps a turn: no copies of the pixel above from one step to the next.
  for (; x + 2 <= w; x += 2) {
    const __m128i above_a = LoadPair(prev + 2 * x);
    const __m128i above_b = LoadPair(prev + 2 * x + 2);
    left = RebuildPixel(left, above_a, upper_left, LoadPair(res + 2 * x));
    StorePair(cur + 2 * x, left);
    left = RebuildPixel(left, above_b, above_a, LoadPair(res + 2 * x + 2));
    StorePair(cur + 2 * x + 2, left);
    upper_left = above_b;
  }
  if (x < w)
    StorePair(cur + 2 * x,
              RebuildPixel(left, LoadPair(prev + 2 * x), upper_left, LoadPair(res + 2 * x)));
}

// Four pairs of a rebuilt row at p into both frames, each two pixels written as 8 bytes
// whose last 2 are the next pixel's: the frame rows go on for at least one more pixel.
inline void PutFourPairs(const uint32_t* p, uint8_t* out0, uint8_t* out1) {
  // Frame 0's two pixels in the low half, frame 1's in the high half.
  const __m128i a = PackTwoPixels(_mm_shuffle_epi32(simd::Load16(p), _MM_SHUFFLE(3, 1, 2, 0)));
  const __m128i b = PackTwoPixels(_mm_shuffle_epi32(simd::Load16(p + 4), _MM_SHUFFLE(3, 1, 2, 0)));
  PutLowSix(a, out0);
  PutLowSix(b, out0 + 6);
  PutHighSix(a, out1);
  PutHighSix(b, out1 + 6);
}

// The rows of both frames from a rebuilt row of pairs. A group that the rebuild copied
// from the row above (copied, null for the first row) is copied from the frame rows
// above, 24 bytes each; the others go four pixels a step, and the last pixels of the
// row one by one.
void WriteFrameRowsTwo(const uint32_t* cur, size_t w, const uint8_t* copied, uint8_t* out0,
                       uint8_t* out1) {
  PutOne(cur[0], out0);
  PutOne(cur[1], out1);
  size_t x = 1;
  if (copied != nullptr) {
    for (; x + 8 <= w; x += 8) {
      if (copied[x / 8]) {
        std::memcpy(out0 + 3 * x, out0 + 3 * x - 3 * w, 24);
        std::memcpy(out1 + 3 * x, out1 + 3 * x - 3 * w, 24);
        continue;
      }
      if (x + 8 == w) break;  // the row's last pixel goes alone below
      PutFourPairs(cur + 2 * x, out0 + 3 * x, out1 + 3 * x);
      PutFourPairs(cur + 2 * x + 8, out0 + 3 * x + 12, out1 + 3 * x + 12);
    }
  }
  for (; x + 4 < w; x += 4) PutFourPairs(cur + 2 * x, out0 + 3 * x, out1 + 3 * x);
  for (; x < w; ++x) {
    PutOne(cur[2 * x], out0 + 3 * x);
    PutOne(cur[2 * x + 1], out1 + 3 * x);
  }
}

// ReEntropy of two frames on pairs of words.
void ReEntropyTwo64(const unsigned char* const planes[2][3], unsigned char* const frames[2],
                    size_t w, size_t h, unsigned char* scratch) {
  const size_t row = 2 * w + 8;  // words; keeps each row 16-byte aligned
  const uintptr_t at = (reinterpret_cast<uintptr_t>(scratch) + 15) & ~uintptr_t{15};
  uint32_t* cur = reinterpret_cast<uint32_t*>(at);
  uint32_t* prev = cur + row;
  uint32_t* res = prev + row;
  uint8_t* copied = reinterpret_cast<uint8_t*>(res + row);  // one byte per 8 pixels
  __m128i last_two_up = _mm_setzero_si128();
  for (size_t y = 0; y < h; ++y) {
    const size_t o = w * y;
    const uint8_t* const r[2][3] = {{planes[0][0] + o, planes[0][1] + o, planes[0][2] + o},
                                    {planes[1][0] + o, planes[1][1] + o, planes[1][2] + o}};
    SpreadResidualsTwo(r, w, res);
    RebuildRowTwo(res, prev, last_two_up, y, w, cur, copied);
    WriteFrameRowsTwo(cur, w, y > 0 ? copied : nullptr, frames[0] + 3 * o, frames[1] + 3 * o);
    if (y > 0) last_two_up = LoadPair(prev + 2 * (w - 1));
    std::swap(prev, cur);
  }
}
#endif

}  // namespace

// Three rows of a pair of words a pixel (two rebuilt rows and the residuals), a byte for
// every 8 pixels, plus alignment; at least PredictScratchBytes(width) for the scalar form.
size_t PredictScratchBytesTwo(int width) {
  return 24 * static_cast<size_t>(width) + static_cast<size_t>(width) / 8 + 256;
}

void ReEntropyTwo(const unsigned char* const planes[2][3], unsigned char* const frames[2],
                  int width, int height, unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
#if ZODUVIV_SSE2
  ReEntropyTwo64(planes, frames, static_cast<size_t>(width), static_cast<size_t>(height), scratch);
#else
  for (int k = 0; k < 2; ++k) ReEntropy(planes[k], frames[k], width, height, scratch);
#endif
}

// The scalar forms use two rows of three bytes a pixel; the SSE2 decoder three rows of
// a 32-bit word a pixel (two rebuilt rows and the row's residuals) and a byte for every
// 8 pixels, plus alignment.
size_t PredictScratchBytes(int width) {
  return 12 * static_cast<size_t>(width) + static_cast<size_t>(width) / 8 + 80;
}

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
  for (size_t y = 0; y < h; ++y) {
    // Formed per row: a pointer one step past the last row could lie before the frame.
    const uint8_t* row = first_row + static_cast<ptrdiff_t>(y) * step;
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
  DeEntropyRows(frame, static_cast<ptrdiff_t>(3 * w), false, planes, w, static_cast<size_t>(height),
                scratch);
}

void DeEntropyRaw(const unsigned char* raw, unsigned char* planes, int width, int height,
                  unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  DeEntropyRows(raw + 3 * w * (h - 1), -static_cast<ptrdiff_t>(3 * w), true, planes, w, h, scratch);
}

void ReEntropy(const unsigned char* planes, unsigned char* frame, int width, int height,
               unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  const unsigned char* const plane[3] = {planes, planes + n, planes + 2 * n};
  ReEntropy(plane, frame, width, height, scratch);
}

// Every form reads row y of the planes before it writes row y of the frame (the scalar
// form pixel by pixel), which lets plane 2 lie in the frame's last third.
void ReEntropy(const unsigned char* const plane[3], unsigned char* frame, int width, int height,
               unsigned char* scratch) {
  if (width <= 0 || height <= 0) return;
#if ZODUVIV_SSE2
  ReEntropy32(plane, frame, static_cast<size_t>(width), static_cast<size_t>(height), scratch);
#else
  const size_t w = static_cast<size_t>(width);
  const size_t row = 3 * w;
  // This row and the row before, decorrelated, pixels interleaved.
  uint8_t* cur = scratch;
  uint8_t* prev = scratch + row;
  uint8_t last_two_up[3] = {0, 0, 0};  // the last pixel two rows up
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    const size_t at = w * y;
    uint8_t* out = frame + 3 * at;
    const size_t first_general = ReconstructRowStart(plane, at, y, w, prev, last_two_up, cur, out);
    if (first_general < w)
      ReconstructRow(plane[0] + at, plane[1] + at, plane[2] + at, prev, cur, out, w);
    if (y > 0) {
      for (int c = 0; c < 3; ++c) last_two_up[c] = prev[row - 3 + c];
    }
    std::swap(prev, cur);
  }
#endif
}
