// codec/range_coder.cpp: the 32-bit range coder of a channel stream, a byte at a time.
//
// Read me first. `low` keeps its value in bits 0 to 30; bit 31 is a carry on its way
// into bytes already decided. The classic form of this coder holds back one decided byte
// (`cache`) and a count of 0xFF bytes after it (`pending`) until it knows whether a carry
// reaches them. The writer here writes every decided byte at once and, in the rare case
// of a carry, adds it to the bytes already written; the digits are the same. The code's
// first byte is the initial held-back byte, always 0: the reader skips it, which lets the
// channel stream lay it over the last byte of the count header. The last symbol, 255,
// takes the whole rest of the range, including the part above r x T that the others
// never use.
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/bit_io.h"
#include "codec/codec.h"
#include "codec/entropy_detail.h"
#include "simd/simd.h"

#if defined(__GNUC__) || defined(__clang__)
#define ZODUVIV_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ZODUVIV_ALWAYS_INLINE inline
#endif
#if ZODUVIV_SSE2 && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZODUVIV_STEPS_3OPERAND 1
#else
#define ZODUVIV_STEPS_3OPERAND 0
#endif

namespace {

constexpr uint32_t kTopValue = 0x80000000u;
constexpr uint32_t kBottomValue = 0x800000u;  // normalise while range <= 2^23
// Bits of the quotient that index the decoder's symbol table.
constexpr uint32_t kLookupBits = 12;

// The decoder's quotient low / r without a division, for tables of shift 19 to 22: r =
// range >> shift is then 2 to 2^(31 - shift) <= 4096 (range is above 2^23 and at most
// 2^31), and low / r is the high half of the 64 x 64-bit product low x m[r], m[r] =
// floor((2^64 - 1) / r) + 1. Exact for every 32-bit low: m[r] = 2^64 / r + e with
// 0 <= e <= 1, so the product over 2^64 is low / r plus less than 2^-32, while the
// fraction of low / r is at most 1 - 1 / r, so the floor does not move. A division
// takes several times the latency of the multiply and the look-up, on the chain from
// one symbol to the next.
#if defined(__SIZEOF_INT128__)
constexpr uint32_t kMinReciprocalShift = 19;
constexpr uint32_t kMaxReciprocalShift = 22;
constexpr uint32_t kMaxReciprocalDivisor = 1u << (31 - kMinReciprocalShift);

struct Reciprocals {
  uint64_t m[kMaxReciprocalDivisor + 1];
  constexpr Reciprocals() : m() {
    for (uint32_t r = 2; r <= kMaxReciprocalDivisor; ++r) m[r] = ~uint64_t{0} / r + 1;
  }
};
constexpr Reciprocals kReciprocals;

inline uint32_t DivideByReciprocal(uint32_t low, uint32_t r) {
  __extension__ typedef unsigned __int128 Wide;
  return static_cast<uint32_t>((static_cast<Wide>(low) * kReciprocals.m[r]) >> 64);
}
#endif

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

namespace {

// Bits the coder shifts range by after a symbol left `range` (1 to 2^31): 8 for every
// factor 256 needed to lift it above 2^23, so 0, 8, 16 or 24, the moves the byte-at-a-time
// loop "while range <= 2^23" makes. With L the bit length of range - 1 (range - 1 >= 2^23
// exactly when range > 2^23) the count is (31 - L) / 8, and 2 range - 1, which is never
// 0, has L + 1 bits, so the count is its leading zeros / 8: no branch, and a short step
// on the chain from one symbol's range to the next.
inline uint32_t MoveBits(uint32_t range) {
  const uint32_t twice_less_one = 2 * range - 1;  // range <= 2^31: no overflow
#if defined(__GNUC__) || defined(__clang__)
  const uint32_t zeros = static_cast<uint32_t>(__builtin_clz(twice_less_one));
#else
  uint32_t zeros = 0;
  for (uint32_t v = twice_less_one; (v & 0x80000000u) == 0; v <<= 1) ++zeros;
#endif
  return zeros & 0x18u;
}

// Adds the carry of `low` into the bytes already written before o. It stops at the
// first byte that does not wrap; the code's first byte is 0 and a carry never reaches
// it, so the walk ends inside the code in any case.
inline void PropagateCarry(unsigned char* o) {
  do {
    --o;
  } while (++*o == 0);
}

// Stores the 4 bytes of bits 30..0 of low (then one 0 bit), most significant first.
inline void StoreTop(unsigned char* o, uint32_t low) {
  const uint32_t v = low << 1;
  o[0] = static_cast<unsigned char>(v >> 24);
  o[1] = static_cast<unsigned char>(v >> 16);
  o[2] = static_cast<unsigned char>(v >> 8);
  o[3] = static_cast<unsigned char>(v);
}

// The writer of one range code. The bytes are those of the held-back-byte formulation
// in the read-me-first note: a carry that the held-back byte and its pending 0xFF bytes
// would receive is added to the bytes already written instead, which gives the same
// digits. Written this way a symbol costs no branch that depends on the data except
// the rare carry: every symbol stores the next 4 bytes of low and moves the write
// position on by the 0 to 3 bytes that are decided. Stores past the position are
// overwritten later; the final 4 bytes of the flush cover the furthest of them, so
// nothing is written beyond the code's length.
class RangeWriter {
 public:
  RangeWriter(const uint32_t* prob, uint32_t shift, unsigned char* out) : shift_(shift), out_(out) {
    // Symbol s < 255 leaves range = r x f_s. Symbol 255 leaves range - r x prob[255],
    // which is r x f_255 plus the part r x T does not cover, range AND (T - 1); a mask
    // per symbol adds that part for 255 only, with no branch on the symbol (255, that is
    // -1, is one of the commonest residuals).
    // Start and frequency share one 64-bit multiplier: r x start <= r x T <= range
    // < 2^32, so the low half of the product never carries into the high one.
    for (int s = 0; s < 256; ++s) {
      const uint64_t freq = s < 255 ? prob[s + 1] - prob[s] : (1u << shift) - prob[255];
      start_freq_[s] = prob[s] | freq << 32;
      rest_[s] = 0;
    }
    rest_[255] = (1u << shift) - 1;
    o_ = out;
    *o_++ = 0;  // the initial held-back byte, which no carry reaches
  }

  void Put(uint32_t s) {
    const uint32_t r = range_ >> shift_;
    const uint64_t both = static_cast<uint64_t>(r) * start_freq_[s];
    low_ += static_cast<uint32_t>(both);
    // A carry belongs to the bytes before o_ whether or not bytes move now, so it is
    // added at once; it is rare and the branch predicts well.
    if (low_ >= 0x80000000u) {
      PropagateCarry(o_);
      low_ &= 0x7FFFFFFFu;
    }
    range_ = static_cast<uint32_t>(both >> 32) + (range_ & rest_[s]);
    // Bytes move out after about a third of the symbols, in no pattern a predictor could
    // learn, so the move happens unconditionally, 0 bytes being a move too.
    const uint32_t bits = MoveBits(range_);
    StoreTop(o_, low_);
    o_ += bits >> 3;
    range_ <<= bits;
    low_ = (low_ << bits) & 0x7FFFFFFFu;
  }

  // Flushes the 31 bits of low and returns the length of the code.
  uint32_t Finish() {
    if (low_ >= 0x80000000u) PropagateCarry(o_);
    StoreTop(o_, low_);
    o_ += 4;
    return static_cast<uint32_t>(o_ - out_);
  }

 private:
  uint64_t start_freq_[256];  // start in the low half, frequency in the high half
  uint32_t rest_[256];
  uint32_t shift_;
  uint32_t low_ = 0;
  uint32_t range_ = kTopValue;
  unsigned char* out_;
  unsigned char* o_;
};

}  // namespace

unsigned int Compress::encode(const unsigned char* in, unsigned char* out, unsigned int length) {
  RangeWriter writer(prob.get(), shift, out);
  for (unsigned int i = 0; i < length; ++i) writer.Put(in[i]);
  return writer.Finish();
}

namespace entropy_detail {

void EncodeThree(RangeJob* jobs) {
  RangeWriter w0(jobs[0].prob, jobs[0].shift, jobs[0].out);
  RangeWriter w1(jobs[1].prob, jobs[1].shift, jobs[1].out);
  RangeWriter w2(jobs[2].prob, jobs[2].shift, jobs[2].out);
  const unsigned char* in0 = jobs[0].in;
  const unsigned char* in1 = jobs[1].in;
  const unsigned char* in2 = jobs[2].in;
  // One symbol of each code per step: the three chains of range from symbol to symbol
  // are independent, so the processor overlaps them.
  const uint32_t both = std::min(jobs[0].length, std::min(jobs[1].length, jobs[2].length));
  for (uint32_t i = 0; i < both; ++i) {
    w0.Put(in0[i]);
    w1.Put(in1[i]);
    w2.Put(in2[i]);
  }
  for (uint32_t i = both; i < jobs[0].length; ++i) w0.Put(in0[i]);
  for (uint32_t i = both; i < jobs[1].length; ++i) w1.Put(in1[i]);
  for (uint32_t i = both; i < jobs[2].length; ++i) w2.Put(in2[i]);
  jobs[0].written = w0.Finish();
  jobs[1].written = w1.Finish();
  jobs[2].written = w2.Finish();
}

}  // namespace entropy_detail

namespace entropy_detail {

namespace {

// The reader of one range code from untrusted bytes.
//
// The symbol of a quotient q is the s with prob[s] <= q < prob[s + 1], or 255 for q >= T.
// A table over the top kLookupBits bits of q gives the symbol at the start of q's bucket;
// the few symbols that share a bucket are then stepped over. Symbols of zero frequency
// are never the answer (prob[s] = prob[s + 1]), as in a search for the largest s with
// prob[s] <= q.
//
// low < range holds for any input bytes: it holds at the start, every symbol leaves low
// below its own share of the range, and moving bits in scales both alike. So q < range /
// r < 2 T, and a table of twice the buckets, its upper half 255, needs no test of q >= T.
//
// The code is read as a bit string that starts at bit 1 of in[1] (in[0] carries no
// information): each byte moved in brings the next 8 bits. next is the index of the
// byte whose low bit is the next bit to take, so the next 8 bits are bit 0 of in[next]
// and the top 7 bits of in[next + 1].
//
// The tables are built once per code; the moving state (low, range, next and the damage
// mark) lives in a Chain that the caller keeps in registers across its loop.
struct Chain {
  uint32_t low;
  uint32_t range;
  const unsigned char* next;
};

class RangeReader {
 public:
  // False when the code cannot hold even its first bits.
  bool Begin(const uint32_t* prob, uint32_t shift, const unsigned char* in, size_t in_len,
             Chain* chain) {
    assert(shift <= 23 && prob[256] == (1u << shift));
    shift_ = shift;
    in_ = in;
    in_len_ = in_len;
    BuildTables(prob, shift);
    if (in_len < 2) return false;
    *chain = Chain{static_cast<uint32_t>(in[1] >> 1), 0x80, in + 1};
    return true;
  }

  // FastSteps that may run one after another without a bounds check: a step reads the 4
  // bytes from next on and moves next by at most 3.
  size_t StepsAhead(const Chain& c) const {
    const size_t left = in_len_ - static_cast<size_t>(c.next - in_);
    return left < 4 ? 0 : (left - 4) / 3 + 1;
  }

  // Decodes one symbol into *out with no bounds check and no branch on the count of
  // bytes moved in. Needs StepsAhead(c) > 0.
  template <bool kReciprocal = false>
  void FastStep(Chain& c, unsigned char* out) const {
    const uint32_t bits = MoveBits(c.range);
    uint32_t word;
    std::memcpy(&word, c.next, 4);
    // The `bits` bits from bit 24 of the word down (the top 7 bits of in[next] are taken
    // already), worked out beside the chain from low to low; a 64-bit shift takes 0 to 24
    // of them with no shift by 32.
    const uint64_t next_bits = LoadBigEndian(word) << 7;
    const uint32_t fresh = static_cast<uint32_t>((next_bits << bits) >> 32);
    c.low = (c.low << bits) | fresh;
    c.range <<= bits;
    c.next += bits >> 3;
    Symbol<kReciprocal>(c, out);
  }

  // Decodes out[i..length) (fast while the input allows, then byte by byte with every
  // read checked). False on a damaged code or a read past the input.
  bool Finish(Chain& c, unsigned char* out, uint32_t i, uint32_t length) const {
    for (; i < length && StepsAhead(c) > 0; ++i) FastStep(c, out + i);
    const size_t next = static_cast<size_t>(c.next - in_);
    bit_io::ByteReader src(in_, in_len_, next + 1);
    uint32_t b = in_[next];
    for (; i < length; ++i) {
      while (c.range <= kBottomValue) {
        c.range <<= 8;
        const uint32_t v = src.Next();
        c.low = (c.low << 8) | ((b & 1u) << 7) | (v >> 1);
        b = v;
      }
      Symbol(c, out + i);
    }
    return src.AllReadsWithinBounds();
  }

  bool Reciprocal() const { return reciprocal_; }

  // True when the `length` symbols decoded at out show damage: a quotient at or above
  // r x T with a table that has no symbol 255, which decodes as 255 (see Symbol).
  bool Broken(const unsigned char* out, uint32_t length) const {
    return lacks_255_ && std::memchr(out, 255, length) != nullptr;
  }

 private:
  static uint32_t LoadBigEndian(uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap32(v);
#else
    return load_be32(reinterpret_cast<const uint8_t*>(&v));
#endif
  }

  void BuildTables(const uint32_t* prob, uint32_t shift);

  // Decodes one symbol into *out. Symbol 255 takes the rest above r x T through its
  // mask. A table without symbol 255 gets an all-ones mask there instead, which keeps
  // range as it was (never 0, so the reader steps on safely), and the 255 written shows
  // the damage to Broken.
  template <bool kReciprocal = false>
  void Symbol(Chain& c, unsigned char* out) const {
    // range > 2^23 >= T here, so r >= 1.
    const uint32_t r = c.range >> shift_;
    const uint32_t q = Quotient<kReciprocal>(c.low, r);
    size_t s = first_[q >> drop_];
    if (q >= start_[s + 1]) {
      const uint32_t* above = start_ + s + 2;
      while (q >= *above) ++above;  // start_[256] stops every walk at 255
      s = static_cast<size_t>(above - start_) - 1;
    }
    const uint64_t both = static_cast<uint64_t>(r) * start_freq_[s];
    const uint32_t rest = rest_[s];
    c.low -= static_cast<uint32_t>(both);
    c.range = static_cast<uint32_t>(both >> 32) + (c.range & rest);
    assert(c.range != 0);
    *out = static_cast<unsigned char>(s);
  }

  // kReciprocal: the caller knows that this table takes the reciprocals.
  template <bool kReciprocal>
  uint32_t Quotient(uint32_t low, uint32_t r) const {
#if defined(__SIZEOF_INT128__)
    if (kReciprocal || reciprocal_) {
      assert(r >= 2 && r <= kMaxReciprocalDivisor);
      return DivideByReciprocal(low, r);
    }
#endif
    return low / r;
  }

  uint64_t start_freq_[256];  // as in the writer: start low, frequency high
  uint32_t start_[257];       // entry 256 above every quotient
  uint32_t rest_[256];
  uint8_t first_[2u << kLookupBits];
  uint32_t shift_ = 0;
  uint32_t drop_ = 0;
  bool reciprocal_ = false;  // the quotient from kReciprocals (shift 19 to 22)
  bool lacks_255_ = false;
  const unsigned char* in_ = nullptr;
  size_t in_len_ = 0;
};

void RangeReader::BuildTables(const uint32_t* prob, uint32_t shift) {
  const uint32_t total = prob[256];
  const uint32_t bits = shift < kLookupBits ? shift : kLookupBits;
  drop_ = shift - bits;
  uint32_t s = 0;
  for (uint32_t j = 0; j < (1u << bits); ++j) {
    const uint32_t q = j << drop_;
    while (prob[s + 1] <= q) ++s;  // prob[256] = T > q, so s stays below 256
    first_[j] = static_cast<uint8_t>(s);
  }
  std::memset(first_ + (1u << bits), 255, 1u << bits);
  for (int k = 0; k < 256; ++k) {
    const uint64_t freq = k < 255 ? prob[k + 1] - prob[k] : total - prob[255];
    start_freq_[k] = prob[k] | freq << 32;
    start_[k] = prob[k];
    rest_[k] = 0;
  }
  start_[256] = ~0u;
  // Symbol 255, when present, has a frequency of at least 1 and takes the rest; when
  // absent its mask keeps the range and sets the damage bit.
  lacks_255_ = prob[255] == total;
  rest_[255] = lacks_255_ ? ~0u : total - 1;
#if defined(__SIZEOF_INT128__)
  reciprocal_ = shift >= kMinReciprocalShift && shift <= kMaxReciprocalShift;
#endif
}

// Steps N codes at once, one symbol of each per step, from i while all have input to
// spare: their chains from symbol to symbol are independent and overlap. The bounds are
// checked once per stretch of steps. Returns where it stopped, at most `length`.
// Symbols staged per code before they go out: each step writes its N symbols side by
// side into one row of 8 bytes (one store each, at a fixed offset), and the rows are
// then spread over the N outputs, 16 at a time by a byte transpose.
constexpr uint32_t kStageRows = 256;

// Moves column k (k < n) of `rows` rows of 8 bytes at stage to outs[k] + at.
void SpreadStage(const unsigned char* stage, uint32_t rows, int n, unsigned char* const* outs,
                 uint32_t at) {
  uint32_t t = 0;
#if ZODUVIV_SSE2
  for (; t + 16 <= rows; t += 16) {
    // Rows 2j and 2j + 1 as 16-bit pairs per column, then an 8 x 8 transpose of pairs.
    __m128i z[8];
    for (int j = 0; j < 8; ++j) {
      const __m128i x = simd::Load16(stage + 8 * t + 16 * j);
      z[j] = _mm_unpacklo_epi8(x, _mm_unpackhi_epi64(x, x));
    }
    __m128i a[8];
    for (int j = 0; j < 8; j += 2) {
      a[j] = _mm_unpacklo_epi16(z[j], z[j + 1]);
      a[j + 1] = _mm_unpackhi_epi16(z[j], z[j + 1]);
    }
    const __m128i b[8] = {_mm_unpacklo_epi32(a[0], a[2]), _mm_unpackhi_epi32(a[0], a[2]),
                          _mm_unpacklo_epi32(a[1], a[3]), _mm_unpackhi_epi32(a[1], a[3]),
                          _mm_unpacklo_epi32(a[4], a[6]), _mm_unpackhi_epi32(a[4], a[6]),
                          _mm_unpacklo_epi32(a[5], a[7]), _mm_unpackhi_epi32(a[5], a[7])};
    for (int k = 0; k < n; ++k) {
      const __m128i lo = b[k / 2], hi = b[4 + k / 2];
      simd::Store16(outs[k] + at + t,
                    k % 2 == 0 ? _mm_unpacklo_epi64(lo, hi) : _mm_unpackhi_epi64(lo, hi));
    }
  }
#endif
  for (; t < rows; ++t) {
    for (int k = 0; k < n; ++k) outs[k][at + t] = stage[8 * t + k];
  }
}

// Steps N codes at once, one symbol of each per step, from i while all have input to
// spare: their chains from symbol to symbol are independent and overlap. The bounds are
// checked once per stretch of steps. Returns where it stopped, at most `length`.
template <int N, bool kReciprocal>
ZODUVIV_ALWAYS_INLINE uint32_t StepTogether(const RangeReader* readers, Chain* chains,
                                            unsigned char* const* outs, uint32_t i,
                                            uint32_t length) {
  alignas(16) unsigned char stage[8 * kStageRows];
  Chain c[N];
#pragma GCC unroll 8
  for (int k = 0; k < N; ++k) c[k] = chains[k];
  while (i < length) {
    size_t ahead = readers[0].StepsAhead(c[0]);
#pragma GCC unroll 8
    for (int k = 1; k < N; ++k) ahead = std::min(ahead, readers[k].StepsAhead(c[k]));
    if (ahead == 0) break;
    const uint32_t rows = static_cast<uint32_t>(std::min<size_t>({length - i, ahead, kStageRows}));
    for (uint32_t t = 0; t < rows; ++t) {
#pragma GCC unroll 8
      for (int k = 0; k < N; ++k)
        readers[k].template FastStep<kReciprocal>(c[k], stage + 8 * t + k);
    }
    SpreadStage(stage, rows, N, outs, i);
    i += rows;
  }
#pragma GCC unroll 8
  for (int k = 0; k < N; ++k) chains[k] = c[k];
  return i;
}

template <bool kReciprocal>
ZODUVIV_ALWAYS_INLINE uint32_t StepCodes(int n, const RangeReader* readers, Chain* chains,
                                         unsigned char* const* outs, uint32_t i, uint32_t length) {
  switch (n) {
    case 6:
      return StepTogether<6, kReciprocal>(readers, chains, outs, i, length);
    case 5:
      return StepTogether<5, kReciprocal>(readers, chains, outs, i, length);
    case 4:
      return StepTogether<4, kReciprocal>(readers, chains, outs, i, length);
    case 3:
      return StepTogether<3, kReciprocal>(readers, chains, outs, i, length);
    case 2:
      return StepTogether<2, kReciprocal>(readers, chains, outs, i, length);
    default:
      return StepTogether<1, kReciprocal>(readers, chains, outs, i, length);
  }
}

#if ZODUVIV_STEPS_3OPERAND
// The same loops compiled for processors with three-operand shifts, a leading-zero count
// and a byte-swapping load (BMI2, LZCNT, MOVBE: x86-64 since about 2013), chosen at run
// time. Without them a shift by a variable count must go through one register (cl),
// which the several chains of a step then queue for; the bytes decoded are the same.
__attribute__((target("bmi,bmi2,lzcnt,movbe"))) uint32_t StepCodes3Operand(
    bool reciprocal, int n, const RangeReader* readers, Chain* chains, unsigned char* const* outs,
    uint32_t i, uint32_t length) {
  return reciprocal ? StepCodes<true>(n, readers, chains, outs, i, length)
                    : StepCodes<false>(n, readers, chains, outs, i, length);
}

bool Has3Operand() {
  __builtin_cpu_init();  // the first call may come before the constructors that set it up
  return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("abm") &&
         __builtin_cpu_supports("movbe");
}
#endif

// The steps of the codes from i, with the quotient chosen once for all of them when
// every table takes the reciprocals (the usual case: planes of 2^18 to 2^22 bytes).
uint32_t StepCodes(int n, const RangeReader* readers, Chain* chains, unsigned char* const* outs,
                   uint32_t i, uint32_t length) {
  bool reciprocal = true;
  for (int k = 0; k < n; ++k) reciprocal = reciprocal && readers[k].Reciprocal();
#if ZODUVIV_STEPS_3OPERAND
  static const bool has_3operand = Has3Operand();
  if (has_3operand) return StepCodes3Operand(reciprocal, n, readers, chains, outs, i, length);
#endif
  return reciprocal ? StepCodes<true>(n, readers, chains, outs, i, length)
                    : StepCodes<false>(n, readers, chains, outs, i, length);
}

constexpr int kMaxCodes = 6;

// Decodes `count` codes (at most kMaxCodes) interleaved: all of them up to the shortest
// length, then the others up to the next shortest, and so on; a code whose input is
// nearly used up goes on byte by byte, alone. True when every code decodes as DecodeWithin would
// decode it.
bool DecodeCodes(const RangeSource* sources, int count) {
  // The codes in order of length, their readers side by side: a reader's tables then
  // lie at a fixed offset from the first, one base register for all.
  int order[kMaxCodes];
  int n = 0;
  for (int k = 0; k < count; ++k) {
    if (sources[k].length == 0) continue;
    int at = n++;
    for (; at > 0 && sources[order[at - 1]].length > sources[k].length; --at)
      order[at] = order[at - 1];
    order[at] = k;
  }
  RangeReader readers[kMaxCodes];
  Chain chains[kMaxCodes];
  unsigned char* outs[kMaxCodes];
  uint32_t lengths[kMaxCodes];
  for (int j = 0; j < n; ++j) {
    const RangeSource& src = sources[order[j]];
    if (!readers[j].Begin(src.prob, src.shift, src.in, src.in_len, &chains[j])) return false;
    outs[j] = src.out;
    lengths[j] = src.length;
  }
  // Codes [0, done) are decoded; the others stand at symbol i.
  uint32_t i = 0;
  for (int done = 0; done < n; ++done) {
    i = StepCodes(n - done, readers + done, chains + done, outs + done, i, lengths[done]);
    int k = done;
    if (i < lengths[done]) {
      // A code with too little input left for a fast step finishes byte by byte; the
      // others go on together.
      while (readers[k].StepsAhead(chains[k]) > 0) ++k;
      if (!readers[k].Finish(chains[k], outs[k], i, lengths[k])) return false;
      std::rotate(readers + done, readers + k, readers + k + 1);
      std::rotate(chains + done, chains + k, chains + k + 1);
      std::rotate(outs + done, outs + k, outs + k + 1);
      std::rotate(lengths + done, lengths + k, lengths + k + 1);
    }
    if (readers[done].Broken(outs[done], lengths[done])) return false;
  }
  return true;
}

}  // namespace

bool DecodeWithin(const uint32_t* prob, uint32_t shift, const unsigned char* in, size_t in_len,
                  unsigned char* out, uint32_t length) {
  const RangeSource source = {prob, shift, in, in_len, out, length};
  return DecodeCodes(&source, 1);
}

bool DecodeThree(const RangeSource* sources) { return DecodeCodes(sources, 3); }

bool DecodeSix(const RangeSource* sources) { return DecodeCodes(sources, kMaxCodes); }

}  // namespace entropy_detail
