// "raw " frames (RGB, top row first) to DIB frames (BGR, bottom row first). Rows are
// packed on both sides: width * 3 bytes, never rounded up to a multiple of 4.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mov/mov.h"
#include "simd/simd.h"

namespace {

#if ZODUVIV_SSE2
struct SwapMasks {
  alignas(16) unsigned char bytes[3][3][16];  // [phase][load at -2, 0, +2][byte]
};

SwapMasks make_swap_masks() {
  SwapMasks m{};
  for (int phase = 0; phase < 3; ++phase) {
    for (int b = 0; b < 16; ++b) {
      const int within = (phase + b) % 3;  // 0 first, 1 middle, 2 last byte of a pixel
      m.bytes[phase][0][b] = within == 2 ? 0xFF : 0;
      m.bytes[phase][1][b] = within == 1 ? 0xFF : 0;
      m.bytes[phase][2][b] = within == 0 ? 0xFF : 0;
    }
  }
  return m;
}
#endif

// Copies one row of n bytes of 3-byte pixels from src to dst with the first and third
// byte of every pixel exchanged. The two rows must not overlap.
void swap_row(const unsigned char* src, unsigned char* dst, size_t n) {
  size_t i = 0;
#if ZODUVIV_SSE2
  // Byte i of the output is byte i + 2, i or i - 2 of the input as i is the first, middle
  // or last byte of its pixel. Sixteen bytes at a time: three loads shifted by -2, 0 and
  // +2, each masked to the bytes it supplies. The masks repeat every 48 bytes. The first
  // 16 bytes are left to the byte loop, so that the load at -2 stays inside the row.
  if (n >= 16 + 16 + 2) {
    static const SwapMasks masks = make_swap_masks();
    for (int b = 0; b < 16; b += 3) {
      dst[b] = src[b + 2];
      dst[b + 1] = src[b + 1];
      dst[b + 2] = src[b];
    }
    int phase = 16 % 3;
    for (i = 16; i + 16 + 2 <= n; i += 16) {
      const __m128i left = simd::Load16(src + i - 2);
      const __m128i same = simd::Load16(src + i);
      const __m128i right = simd::Load16(src + i + 2);
      const __m128i* m = reinterpret_cast<const __m128i*>(masks.bytes[phase]);
      const __m128i out = _mm_or_si128(_mm_or_si128(_mm_and_si128(left, _mm_load_si128(m)),
                                                    _mm_and_si128(same, _mm_load_si128(m + 1))),
                                       _mm_and_si128(right, _mm_load_si128(m + 2)));
      simd::Store16(dst + i, out);
      phase = (phase + 1) % 3;
    }
    // The byte loop below goes on from the first byte of a pixel.
    i -= i % 3;
  }
#endif
  for (; i + 3 <= n; i += 3) {
    dst[i] = src[i + 2];
    dst[i + 1] = src[i + 1];
    dst[i + 2] = src[i];
  }
}

}  // namespace

void raw_to_BGR(const unsigned char* source, unsigned char* target, int width, int height) {
  raw_to_BGR(source, static_cast<size_t>(width > 0 ? width : 0) * 3, target, width, height);
}

void raw_to_BGR(const unsigned char* source, size_t source_stride, unsigned char* target, int width,
                int height) {
  if (width <= 0 || height <= 0) return;
  const size_t row = static_cast<size_t>(width) * 3;
  const size_t rows = static_cast<size_t>(height);
  for (size_t y = 0; y < rows; ++y)
    swap_row(source + (rows - 1 - y) * source_stride, target + y * row, row);
}

void pack_rows(unsigned char* frame, size_t row_bytes, size_t stride, int rows) {
  if (stride == row_bytes) return;
  // Row y moves down to y * row_bytes, never past its own start: in place, in order.
  for (int y = 1; y < rows; ++y)
    std::memmove(frame + static_cast<size_t>(y) * row_bytes,
                 frame + static_cast<size_t>(y) * stride, row_bytes);
}
