// simd/simd.h: the one seam between the scalar and the SSE2 forms of the hot loops.
//
// Read me first. ZODUVIV_SSE2 is 1 when the compiler targets SSE2 (every x86-64 build)
// and the build was not configured with ZODUVIV_SIMD=OFF; the hot loops of the codec and
// of the pixel conversion then take their vector forms. With ZODUVIV_SIMD=OFF every such
// loop compiles to its plain byte form, which gives the same bytes: CI builds both ways
// and runs the codec and end-to-end tests on each. Only the helpers shared by several
// loops live here; a loop's own intrinsics stay next to its scalar form.
#ifndef SIMD_SIMD_H_
#define SIMD_SIMD_H_

#include <cstdint>

#if defined(__SSE2__) && !defined(ZODUVIV_NO_SIMD)
#define ZODUVIV_SSE2 1
#include <emmintrin.h>
#else
#define ZODUVIV_SSE2 0
#endif

namespace simd {

#if ZODUVIV_SSE2
inline __m128i Load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void Store16(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// Bit k set when byte k of v is 0.
inline uint32_t ZeroBits16(__m128i v) {
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
}

// Splits 16 pixels (48 bytes at p) into their byte 0, byte 1 and byte 2 vectors. Each
// round interleaves the low half of one vector with the high half of the next, a
// perfect shuffle of the 48 bytes; after four rounds byte k of pixel j sits at j of
// vector k. (SSE2 has no byte shuffle, so unpacking is the way.)
inline void Deinterleave48(const uint8_t* p, __m128i* b0, __m128i* b1, __m128i* b2) {
  __m128i v0 = Load16(p);
  __m128i v1 = Load16(p + 16);
  __m128i v2 = Load16(p + 32);
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

// Bit k set when p[k] is 0, for the 64 bytes at p.
inline uint64_t ZeroMask64(const unsigned char* p) {
  uint64_t mask = 0;
#if ZODUVIV_SSE2
  for (int k = 0; k < 4; ++k)
    mask |= static_cast<uint64_t>(ZeroBits16(Load16(p + 16 * k))) << (16 * k);
#else
  for (int k = 0; k < 64; ++k) mask |= static_cast<uint64_t>(p[k] == 0) << k;
#endif
  return mask;
}

}  // namespace simd

#endif  // SIMD_SIMD_H_
