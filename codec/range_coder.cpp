// codec/range_coder.cpp: the 32-bit range coder of a channel stream, a byte at a time.
//
// Read me first. `low` keeps its value in bits 0 to 30; bit 31 is a carry on its way
// into bytes already decided. The coder holds back one decided byte (`cache`) and a count
// of 0xFF bytes after it (`pending`) until it knows whether a carry reaches them. The
// code's first byte is the initial cache, always 0: the reader skips it, which lets the
// channel stream lay it over the last byte of the count header. The last symbol, 255,
// takes the whole rest of the range, including the part above r x T that the others
// never use.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "codec/bit_io.h"
#include "codec/codec.h"
#include "codec/entropy_detail.h"

namespace {

constexpr uint32_t kTopValue = 0x80000000u;
constexpr uint32_t kBottomValue = 0x800000u;  // normalise while range <= 2^23

}  // namespace

Compress::Compress() = default;
Compress::~Compress() = default;

void Compress::InitCompressBuffers(unsigned int size) {
  prob.reset(new uint32_t[257]);
  counts.reset(new uint32_t[256]);
  rle_buffer.reset(new uint8_t[size]);
  rle_capacity = size;
}

void Compress::FreeCompressBuffers() {
  prob.reset();
  counts.reset();
  rle_buffer.reset();
  rle_capacity = 0;
}

unsigned int Compress::encode(const unsigned char* in, unsigned char* out, unsigned int length) {
  const uint32_t* p = prob.get();
  const uint32_t sh = shift;
  uint32_t low = 0;
  uint32_t range = kTopValue;
  uint32_t cache = 0;
  uint32_t pending = 0;
  unsigned char* o = out;
  for (unsigned int i = 0; i < length; ++i) {
    const uint32_t s = in[i];
    const uint32_t r = range >> sh;
    low += r * p[s];
    if (s < 255) {
      range = r * (p[s + 1] - p[s]);
    } else {
      range -= r * p[255];
    }
    while (range <= kBottomValue) {
      if (low <= 0x7F7FFFFFu) {
        *o++ = static_cast<unsigned char>(cache);
        for (; pending != 0; --pending) *o++ = 0xFF;
        cache = low >> 23;
      } else if (low >= 0x80000000u) {
        *o++ = static_cast<unsigned char>(cache + 1);
        for (; pending != 0; --pending) *o++ = 0x00;
        cache = low >> 23;
      } else {
        // The next byte is 0xFF and may still take a carry.
        ++pending;
      }
      range <<= 8;
      low = (low << 8) & 0x7FFFFF00u;
    }
  }
  const uint32_t top = low >> 23;
  if (top > 0xFF) {
    *o++ = static_cast<unsigned char>(cache + 1);
    for (; pending != 0; --pending) *o++ = 0x00;
  } else {
    *o++ = static_cast<unsigned char>(cache);
    for (; pending != 0; --pending) *o++ = 0xFF;
  }
  // Bits 30 to 0 of low, most significant first, then one 0 bit.
  *o++ = static_cast<unsigned char>(top);
  *o++ = static_cast<unsigned char>(low >> 15);
  *o++ = static_cast<unsigned char>(low >> 7);
  *o++ = static_cast<unsigned char>(low << 1);
  return static_cast<unsigned int>(o - out);
}

namespace entropy_detail {

bool DecodeWithin(const uint32_t* prob, uint32_t shift, const unsigned char* in, size_t in_len,
                  unsigned char* out, uint32_t length) {
  if (length == 0) return true;
  assert(shift <= 23 && prob[256] == (1u << shift));
  const uint32_t total = prob[256];
  bit_io::ByteReader src(in, in_len, 1);  // in[0] carries no information
  uint32_t b = src.Next();
  uint32_t low = b >> 1;
  uint32_t range = 0x80;
  for (uint32_t i = 0; i < length; ++i) {
    while (range <= kBottomValue) {
      range <<= 8;
      const uint32_t c = src.Next();
      low = (low << 8) | ((b & 1u) << 7) | (c >> 1);
      b = c;
    }
    // range > 2^23 >= T here, so r >= 1.
    const uint32_t r = range >> shift;
    const uint32_t q = low / r;
    uint32_t s;
    if (q >= total) {
      // Only symbol 255 reaches past r x T; a table without it means a damaged code.
      if (prob[255] == total) return false;
      s = 255;
      low -= r * prob[255];
      range -= r * prob[255];
    } else {
      s = q < prob[128] ? 0 : 128;
      for (uint32_t step = 64; step != 0; step >>= 1) {
        if (q >= prob[s + step]) s += step;
      }
      low -= r * prob[s];
      range -= r * prob[s];
      if (s <= 254) range = r * (prob[s + 1] - prob[s]);
    }
    // A damaged code can empty the range, and normalising 0 would never end.
    if (range == 0) return false;
    out[i] = static_cast<unsigned char>(s);
  }
  return src.AllReadsWithinBounds();
}

}  // namespace entropy_detail

void Compress::decode(const unsigned char* in, unsigned char* out, unsigned int length) {
  // A trusted code decodes in full; the result only reports damage.
  const bool ok = entropy_detail::DecodeWithin(prob.get(), shift, in,
                                               std::numeric_limits<size_t>::max(), out, length);
  (void)ok;
}
