// codec/prob_table.cpp: the probability table of a channel stream and its count header.
//
// The writer counts the 256 byte values, writes the raw counts as the count header and
// scales them into a cumulative table whose total T is the smallest power of two not
// below the length. A reader rebuilds the same table from the decoded counts, so every
// step of the scaling, the floating-point rounding included, is part of the format.
#include <cassert>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/bit_io.h"
#include "codec/codec.h"
#include "codec/entropy_detail.h"

// Excess precision (x87) would change the scaled frequencies and so the stream.
static_assert(FLT_EVAL_METHOD == 0, "the count scaling needs strict float and double steps");

namespace {

// Digit k of a Fibonacci code stands for entry k.
constexpr uint32_t kFibonacci[8] = {1, 2, 3, 5, 8, 13, 21, 34};

// The single-precision factor T / length: both converted to float, one float division.
float ScaleFactor(uint32_t total, uint32_t length) {
  const float total_f = static_cast<float>(total);
  const float length_f = static_cast<float>(length);
  const float factor = total_f / length_f;
  return factor;
}

// One scaled count: the double product of the count and the widened factor, truncated.
uint32_t ScaleCount(uint32_t count, float factor) {
  const double count_d = static_cast<double>(count);
  const double factor_d = static_cast<double>(factor);
  const double product = count_d * factor_d;
  return static_cast<uint32_t>(product);
}

uint32_t BitLength(uint64_t v) {
  uint32_t bits = 0;
  while (v != 0) {
    ++bits;
    v >>= 1;
  }
  return bits;
}

// Writes N >= 1: the Fibonacci code of its bit length L (Zeckendorf digits lowest first,
// then a closing 1), then the L - 1 bits below its top bit, most significant first.
void WriteNumber(bit_io::BitWriter& w, uint64_t number) {
  const uint32_t bits = BitLength(number);
  uint32_t digits[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  uint32_t rest = bits;
  int highest = -1;
  for (int k = 7; k >= 0; --k) {
    if (kFibonacci[k] <= rest) {
      rest -= kFibonacci[k];
      digits[k] = 1;
      if (highest < 0) highest = k;
    }
  }
  for (int k = 0; k <= highest; ++k) w.WriteBit(digits[k]);
  w.WriteBit(1);
  for (int b = static_cast<int>(bits) - 2; b >= 0; --b) w.WriteBit((number >> b) & 1u);
}

// Reads a number written by WriteNumber. False for a code that no writer produces (more
// than eight digits, or a bit length above 32); a read past the end is caught by the
// caller through the reader's flag.
bool ReadNumber(bit_io::BitReader& r, uint32_t* number) {
  uint32_t bits = 0;
  uint32_t previous = 0;
  for (int k = 0;; ++k) {
    const uint32_t bit = r.ReadBit();
    if (bit != 0 && previous != 0) break;
    if (k >= 8) return false;
    if (bit != 0) bits += kFibonacci[k];
    previous = bit;
  }
  if (bits > 32) return false;
  uint32_t value = 1;
  for (uint32_t b = 1; b < bits; ++b) value = (value << 1) | r.ReadBit();
  *number = value;
  return true;
}

}  // namespace

namespace entropy_detail {

uint32_t BuildProbTable(const uint32_t* counts, uint32_t length, uint32_t* prob) {
  assert(length >= 1 && length <= kMaxTotal);
  uint32_t total = 1;
  while (total < length) total <<= 1;

  const float factor = ScaleFactor(total, length);
  prob[0] = 0;
  uint32_t sum = 0;
  for (int s = 0; s < 256; ++s) {
    prob[s + 1] = ScaleCount(counts[s], factor);
    sum += prob[s + 1];
  }
  // The factor rounds to at least 1 and at most T / length (1 + 2^-24), so no occurring
  // symbol drops to 0 and, with T at most 2^23, the sum never exceeds T.
  int32_t deficit = static_cast<int32_t>(total - sum);
  if (deficit > 0) {
    // The missing units go one at a time to the occurring symbols among 0 to 127, from
    // symbol 0 round and round. Only when none of 0 to 127 occurs does the walk take in
    // all 256 symbols; otherwise it would never end.
    bool low_half_occurs = false;
    for (int s = 0; s < 128; ++s) low_half_occurs = low_half_occurs || prob[s + 1] != 0;
    const uint32_t mask = low_half_occurs ? 127u : 255u;
    for (uint32_t i = 0; deficit > 0; i = (i + 1) & mask) {
      if (prob[i + 1] != 0) {
        ++prob[i + 1];
        --deficit;
      }
    }
  } else if (deficit < 0) {
    prob[1] += static_cast<uint32_t>(deficit);  // needs T above 2^24; kept for fidelity
  }

  const uint32_t shift = BitLength(total) - 1;
  for (int s = 1; s <= 256; ++s) {
    assert(counts[s - 1] == 0 || prob[s] >= 1);
    prob[s] += prob[s - 1];
  }
  assert(prob[256] == total);
  return shift;
}

}  // namespace entropy_detail

unsigned int FibonacciEncode2(const unsigned int* values, unsigned char* out, unsigned int count) {
  bit_io::BitWriter w(out);
  unsigned int i = 0;
  while (i < count) {
    WriteNumber(w, static_cast<uint64_t>(values[i]) + 1);
    if (values[i] == 0) {
      unsigned int run = 1;
      while (i + run < count && values[i + run] == 0) ++run;
      WriteNumber(w, run);
      i += run;
    } else {
      ++i;
    }
  }
  return static_cast<unsigned int>(w.BytesUsed());
}

unsigned int FibonacciDecode2(const unsigned char* in, size_t in_len, unsigned int* values,
                              unsigned int count) {
  bit_io::BitReader r(in, in_len);
  unsigned int i = 0;
  while (i < count) {
    uint32_t number = 0;
    if (!ReadNumber(r, &number)) return 0;
    values[i] = number - 1;
    if (number == 1) {
      uint32_t run = 0;
      if (!ReadNumber(r, &run)) return 0;
      // A run that would pass the last index is cut there (a writer never makes one).
      if (run > count - i) run = count - i;
      for (uint32_t z = 1; z < run; ++z) values[i + z] = 0;
      i += run;
    } else {
      ++i;
    }
    if (!r.AllReadsWithinBounds()) return 0;
  }
  return static_cast<unsigned int>(r.BytesUsed());
}

namespace entropy_detail {

void CountBytes(const unsigned char* data, uint32_t length, uint32_t* counts) {
  // Four sub-histograms: runs of one value (a flat plane is mostly 0) would otherwise
  // make every increment wait for the one before it. Eight bytes are read as one word;
  // which byte of the word lands in which sub-histogram does not matter for the sums.
  uint32_t sub[4][256] = {};
  const unsigned char* p = data;
  const unsigned char* const end = data + length;
  for (; end - p >= 8; p += 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    ++sub[0][v & 0xFF];
    ++sub[1][(v >> 8) & 0xFF];
    ++sub[2][(v >> 16) & 0xFF];
    ++sub[3][(v >> 24) & 0xFF];
    ++sub[0][(v >> 32) & 0xFF];
    ++sub[1][(v >> 40) & 0xFF];
    ++sub[2][(v >> 48) & 0xFF];
    ++sub[3][v >> 56];
  }
  for (; p < end; ++p) ++sub[0][*p];
  for (int s = 0; s < 256; ++s) counts[s] = sub[0][s] + sub[1][s] + sub[2][s] + sub[3][s];
}

}  // namespace entropy_detail
