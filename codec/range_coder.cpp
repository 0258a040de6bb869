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
#include <limits>

#include "codec/bit_io.h"
#include "codec/codec.h"
#include "codec/entropy_detail.h"

namespace {

constexpr uint32_t kTopValue = 0x80000000u;
constexpr uint32_t kBottomValue = 0x800000u;  // normalise while range <= 2^23
// Bits of the quotient that index the decoder's symbol table.
constexpr uint32_t kLookupBits = 12;

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

// Bytes the encoder moves out after a symbol left `range` (1 to 2^31): one for every
// factor 256 needed to lift it above 2^23, so 0 to 3, the count the byte-at-a-time loop
// "while range <= 2^23" makes. Three independent comparisons keep this short on the
// chain from one symbol's range to the next.
inline uint32_t BytesToMove(uint32_t range) {
  return static_cast<uint32_t>(range <= kBottomValue) + static_cast<uint32_t>(range <= 0x8000u) +
         static_cast<uint32_t>(range <= 0x80u);
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
    for (int s = 0; s < 256; ++s) {
      model_[s].start = prob[s];
      model_[s].freq = prob[s + 1] - prob[s];
      model_[s].rest = 0;
    }
    model_[255].freq = (1u << shift) - prob[255];
    model_[255].rest = (1u << shift) - 1;
    o_ = out;
    *o_++ = 0;  // the initial held-back byte, which no carry reaches
  }

  void Put(uint32_t s) {
    const Symbol& m = model_[s];
    const uint32_t r = range_ >> shift_;
    low_ += r * m.start;
    // A carry belongs to the bytes before o_ whether or not bytes move now, so it is
    // added at once; it is rare and the branch predicts well.
    if (low_ >= 0x80000000u) {
      PropagateCarry(o_);
      low_ &= 0x7FFFFFFFu;
    }
    range_ = r * m.freq + (range_ & m.rest);
    // Bytes move out after about a third of the symbols, in no pattern a predictor could
    // learn, so the move happens unconditionally, 0 bytes being a move too.
    const uint32_t moves = BytesToMove(range_);
    StoreTop(o_, low_);
    o_ += moves;
    range_ <<= 8 * moves;
    low_ = (low_ << (8 * moves)) & 0x7FFFFFFFu;
  }

  // Flushes the 31 bits of low and returns the length of the code.
  uint32_t Finish() {
    if (low_ >= 0x80000000u) PropagateCarry(o_);
    StoreTop(o_, low_);
    o_ += 4;
    return static_cast<uint32_t>(o_ - out_);
  }

 private:
  struct Symbol {
    uint32_t start;
    uint32_t freq;
    uint32_t rest;
    uint32_t unused;  // 16 bytes a symbol: one aligned load block
  };
  Symbol model_[256];
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

bool DecodeWithin(const uint32_t* prob, uint32_t shift, const unsigned char* in, size_t in_len,
                  unsigned char* out, uint32_t length) {
  if (length == 0) return true;
  assert(shift <= 23 && prob[256] == (1u << shift));
  const uint32_t total = prob[256];

  // The symbol of a quotient q < T is the s with prob[s] <= q < prob[s + 1]. A table over
  // the top kLookupBits bits of q gives the symbol at the start of q's bucket; the few
  // symbols that share a bucket are then stepped over. Symbols of zero frequency are
  // never the answer (prob[s] = prob[s + 1]), as in a search for the largest s with
  // prob[s] <= q.
  const uint32_t bits = shift < kLookupBits ? shift : kLookupBits;
  const uint32_t drop = shift - bits;
  uint8_t first[1u << kLookupBits];
  {
    uint32_t s = 0;
    for (uint32_t j = 0; j < (1u << bits); ++j) {
      const uint32_t q = j << drop;
      while (prob[s + 1] <= q) ++s;  // prob[256] = T > q, so s stays below 256
      first[j] = static_cast<uint8_t>(s);
    }
  }
  // Per symbol: the start, the frequency, and the mask of the range left over above r x T
  // that symbol 255 also takes (as in the encoder).
  uint32_t start[256];
  uint32_t freq[256];
  uint32_t rest[256];
  for (int s = 0; s < 256; ++s) {
    start[s] = prob[s];
    freq[s] = prob[s + 1] - prob[s];
    rest[s] = 0;
  }
  freq[255] = total - prob[255];
  rest[255] = total - 1;

  // The code is read as a bit string that starts at bit 1 of in[1] (in[0] carries no
  // information and the top bit of in[1] is the writer's 0 carry position): each byte
  // moved in brings the next 8 bits. `next` is the index of the byte that holds the
  // low bit of the last bit taken, so the next 8 bits are bit 0 of in[next] and the top 7
  // of in[next + 1].
  size_t next = 1;
  if (in_len < 2) return false;
  uint32_t low = in[1] >> 1;
  uint32_t range = 0x80;
  uint32_t i = 0;
  // Fast loop: while the next 4 bytes lie inside the input, bytes are moved in without a
  // bounds check or a branch on their count.
  while (i < length && in_len - next >= 4) {
    const uint32_t moves = BytesToMove(range);
    const uint32_t word = (static_cast<uint32_t>(in[next]) << 24) |
                          (static_cast<uint32_t>(in[next + 1]) << 16) |
                          (static_cast<uint32_t>(in[next + 2]) << 8) | in[next + 3];
    // The 8 x moves bits from bit 24 of word down (the top 7 bits of in[next] are taken
    // already); shifting by 8 first keeps every shift below 32.
    low = (low << (8 * moves)) | (((word << 7) >> 8) >> (24 - 8 * moves));
    range <<= 8 * moves;
    next += moves;

    // range > 2^23 >= T here, so r >= 1.
    const uint32_t r = range >> shift;
    const uint32_t q = low / r;
    uint32_t s;
    if (q >= total) {
      // Only symbol 255 reaches past r x T; a table without it means a damaged code.
      if (prob[255] == total) return false;
      s = 255;
    } else {
      s = first[q >> drop];
      while (q >= prob[s + 1]) ++s;
    }
    low -= r * start[s];
    range = r * freq[s] + (range & rest[s]);
    // A damaged code can empty the range, and normalising 0 would never end.
    if (range == 0) return false;
    out[i++] = static_cast<unsigned char>(s);
  }

  // The last few bytes of the input: the same steps a byte at a time, each read checked.
  bit_io::ByteReader src(in, in_len, next + 1);
  uint32_t b = in[next];
  for (; i < length; ++i) {
    while (range <= kBottomValue) {
      range <<= 8;
      const uint32_t c = src.Next();
      low = (low << 8) | ((b & 1u) << 7) | (c >> 1);
      b = c;
    }
    const uint32_t r = range >> shift;
    const uint32_t q = low / r;
    uint32_t s;
    if (q >= total) {
      if (prob[255] == total) return false;
      s = 255;
    } else {
      s = first[q >> drop];
      while (q >= prob[s + 1]) ++s;
    }
    low -= r * start[s];
    range = r * freq[s] + (range & rest[s]);
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
