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

#include "codec/bit_io.h"
#include "codec/codec.h"
#include "codec/entropy_detail.h"

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
// The symbol of a quotient q < T is the s with prob[s] <= q < prob[s + 1]. A table over
// the top kLookupBits bits of q gives the symbol at the start of q's bucket; the few
// symbols that share a bucket are then stepped over. Symbols of zero frequency are never
// the answer (prob[s] = prob[s + 1]), as in a search for the largest s with prob[s] <= q.
//
// The code is read as a bit string that starts at bit 1 of in[1] (in[0] carries no
// information): each byte moved in brings the next 8 bits. next_ is the index of the
// byte whose low bit is the next bit to take, so the next 8 bits are bit 0 of in[next_]
// and the top 7 bits of in[next_ + 1].
class RangeReader {
 public:
  // False when the code cannot hold even its first bits.
  bool Begin(const uint32_t* prob, uint32_t shift, const unsigned char* in, size_t in_len) {
    assert(shift <= 23 && prob[256] == (1u << shift));
    total_ = prob[256];
    shift_ = shift;
    in_ = in;
    in_len_ = in_len;
    const uint32_t bits = shift < kLookupBits ? shift : kLookupBits;
    drop_ = shift - bits;
    uint32_t s = 0;
    for (uint32_t j = 0; j < (1u << bits); ++j) {
      const uint32_t q = j << drop_;
      while (prob[s + 1] <= q) ++s;  // prob[256] = T > q, so s stays below 256
      first_[j] = static_cast<uint8_t>(s);
    }
    // Per symbol, as in the writer: the start, the frequency and the mask of the range
    // left over above r x T that symbol 255 also takes.
    for (int k = 0; k < 256; ++k) {
      start_[k] = prob[k];
      freq_[k] = prob[k + 1] - prob[k];
      rest_[k] = 0;
    }
    freq_[255] = total_ - prob[255];
    rest_[255] = total_ - 1;
    start_[256] = total_;
    symbol_255_absent_ = prob[255] == total_;
#if defined(__SIZEOF_INT128__)
    reciprocal_ = shift >= kMinReciprocalShift && shift <= kMaxReciprocalShift;
#endif
    if (in_len < 2) return false;
    next_ = 1;
    low_ = in[1] >> 1;
    range_ = 0x80;
    return true;
  }

  // True while the next 4 input bytes lie inside the input, so FastStep may run.
  bool Ahead() const { return in_len_ - next_ >= 4; }

  // FastSteps that may run one after another without a check of Ahead(): a step moves
  // at most 3 bytes in.
  size_t StepsAhead() const {
    const size_t left = in_len_ - next_;
    return left < 4 ? 0 : (left - 4) / 3 + 1;
  }

  // True once the code has shown damage (see Symbol); what was decoded is then void.
  bool Broken() const { return broken_; }

  // Decodes one symbol into *out with no bounds check and no branch on the count of
  // bytes moved in. Needs Ahead(). Damage shows in Broken().
  void FastStep(unsigned char* out) {
    const uint32_t bits = MoveBits(range_);
    const unsigned char* p = in_ + next_;
    const uint32_t word = (static_cast<uint32_t>(p[0]) << 24) |
                          (static_cast<uint32_t>(p[1]) << 16) | (static_cast<uint32_t>(p[2]) << 8) |
                          p[3];
    // The `bits` bits from bit 24 of word down (the top 7 bits of in[next_] are taken
    // already); shifting by 8 first keeps every shift below 32.
    low_ = (low_ << bits) | (((word << 7) >> 8) >> (24 - bits));
    range_ <<= bits;
    next_ += bits >> 3;
    Symbol(out);
  }

  // Decodes out[i..length) (fast while the input allows, then byte by byte with every
  // read checked). False on a damaged code or a read past the input.
  bool Finish(unsigned char* out, uint32_t i, uint32_t length) {
    for (; i < length && Ahead(); ++i) {
      FastStep(out + i);
      if (broken_) return false;
    }
    bit_io::ByteReader src(in_, in_len_, next_ + 1);
    uint32_t b = in_[next_];
    for (; i < length; ++i) {
      while (range_ <= kBottomValue) {
        range_ <<= 8;
        const uint32_t c = src.Next();
        low_ = (low_ << 8) | ((b & 1u) << 7) | (c >> 1);
        b = c;
      }
      Symbol(out + i);
      if (broken_) return false;
    }
    return src.AllReadsWithinBounds();
  }

 private:
  // Decodes one symbol into *out. A code that reaches past r x T with a table that has
  // no symbol 255 is damage: the reader is marked broken and its range set to a safe
  // value, so further steps (which the caller discards) neither divide by 0 nor loop.
  void Symbol(unsigned char* out) {
    // range > 2^23 >= T here, so r >= 1.
    const uint32_t r = range_ >> shift_;
#if defined(__SIZEOF_INT128__)
    assert(!reciprocal_ || (r >= 2 && r <= kMaxReciprocalDivisor));
    const uint32_t q = reciprocal_ ? DivideByReciprocal(low_, r) : low_ / r;
#else
    const uint32_t q = low_ / r;
#endif
    uint32_t s;
    if (q >= total_) {
      s = 255;
      if (symbol_255_absent_) {
        broken_ = true;
        range_ = kTopValue;
        *out = 255;
        return;
      }
    } else {
      s = first_[q >> drop_];
      while (q >= start_[s + 1]) ++s;
    }
    low_ -= r * start_[s];
    // r >= 1 and the frequency of a symbol found in the table is at least 1 (symbol 255,
    // when present, also takes the rest above r x T), so the range never becomes 0.
    range_ = r * freq_[s] + (range_ & rest_[s]);
    assert(range_ != 0);
    *out = static_cast<unsigned char>(s);
  }

  uint32_t start_[257];  // entry 256 is the total, where the step over a bucket stops
  uint32_t freq_[256];
  uint32_t rest_[256];
  uint8_t first_[1u << kLookupBits];
  uint32_t total_ = 0;
  uint32_t shift_ = 0;
  uint32_t drop_ = 0;
  bool symbol_255_absent_ = false;
  bool broken_ = false;
  bool reciprocal_ = false;  // the quotient from kReciprocals (shift 19 to 22)
  const unsigned char* in_ = nullptr;
  size_t in_len_ = 0;
  size_t next_ = 1;
  uint32_t low_ = 0;
  uint32_t range_ = 0;
};

}  // namespace

bool DecodeWithin(const uint32_t* prob, uint32_t shift, const unsigned char* in, size_t in_len,
                  unsigned char* out, uint32_t length) {
  if (length == 0) return true;
  RangeReader reader;
  if (!reader.Begin(prob, shift, in, in_len)) return false;
  return reader.Finish(out, 0, length);
}

bool DecodeThree(const RangeSource* sources) {
  RangeReader readers[3];
  uint32_t both = sources[0].length;
  for (int c = 0; c < 3; ++c) {
    const RangeSource& src = sources[c];
    if (src.length != 0 && !readers[c].Begin(src.prob, src.shift, src.in, src.in_len)) return false;
    both = std::min(both, src.length);
  }
  // One symbol of each code per step, as long as all three have input to spare: the
  // three chains of division and table look-ups are independent and overlap. The input
  // bounds and damage are checked once per stretch of steps (a broken reader keeps
  // stepping safely; what it decodes is discarded).
  unsigned char* const out0 = sources[0].out;
  unsigned char* const out1 = sources[1].out;
  unsigned char* const out2 = sources[2].out;
  uint32_t i = 0;
  while (i < both) {
    const size_t ahead = std::min(readers[0].StepsAhead(),
                                  std::min(readers[1].StepsAhead(), readers[2].StepsAhead()));
    if (ahead == 0) break;
    const uint32_t end = static_cast<uint32_t>(std::min<size_t>(both, i + ahead));
    for (; i < end; ++i) {
      readers[0].FastStep(out0 + i);
      readers[1].FastStep(out1 + i);
      readers[2].FastStep(out2 + i);
    }
    if (readers[0].Broken() || readers[1].Broken() || readers[2].Broken()) return false;
  }
  for (int c = 0; c < 3; ++c) {
    if (sources[c].length != 0 && !readers[c].Finish(sources[c].out, i, sources[c].length))
      return false;
  }
  return true;
}

}  // namespace entropy_detail
