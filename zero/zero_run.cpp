// zero/zero_run.cpp: zero-run coding at levels 1 to 3.
//
// At level m a run of at least m zeros becomes m zero bytes and a code byte for the
// zeros beyond m (0 to 255); a shorter run is written out, and the non-zero byte after it
// tells the reader that no code byte follows. A run longer than 255 + m is cut into
// pieces of that size from its start.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "simd/simd.h"
#include "zero/zero.h"

namespace {

// The folded code byte of r (0..255) zeros beyond the level: even r count up from 0x00,
// odd r count down from 0xFF.
unsigned char RunCodeByte(int r) {
  return static_cast<unsigned char>((r & 1) == 0 ? r / 2 : 256 - (r + 1) / 2);
}

int RunFromCodeByte(unsigned char v) { return v <= 127 ? 2 * v : 511 - 2 * v; }

bool ValidLevel(int level) { return level >= 1 && level <= 3; }

// The index of the lowest set bit of v; 64 for v = 0.
inline int CountTrailingZeros64(uint64_t v) {
  if (v == 0) return 64;
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctzll(v);
#else
  int k = 0;
  while ((v & 1) == 0) {
    v >>= 1;
    ++k;
  }
  return k;
#endif
}

// The index of the highest set bit of v counted from the top; 64 for v = 0.
inline int CountLeadingZeros64(uint64_t v) {
  if (v == 0) return 64;
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_clzll(v);
#else
  int k = 0;
  while ((v & (uint64_t{1} << 63)) == 0) {
    v <<= 1;
    ++k;
  }
  return k;
#endif
}

// Set bits of v. Written out because x86-64 without a popcnt instruction (the baseline
// this is built for) would call a library routine.
inline uint64_t BitCount64(uint64_t v) {
  v = v - ((v >> 1) & 0x5555555555555555ull);
  v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
  v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return (v * 0x0101010101010101ull) >> 56;
}

// Sets len (0 to 258) bytes to 0, 16 at a time: up to 15 bytes past len are written. A
// call of memset per run costs more than the run.
inline void ZeroFill(unsigned char* dst, int len) {
  for (int c = 0; c < len; c += 16) std::memset(dst + c, 0, 16);
}

// Copies len (0 to 64) bytes 16 at a time; up to 15 bytes past len are read and written.
// Returns len.
inline size_t CopyLiterals(const unsigned char* src, unsigned char* dst, int len) {
  for (int c = 0; c < len; c += 16) std::memcpy(dst + c, src + c, 16);
  return static_cast<size_t>(len);
}

// The bytes levels 1, 2 and 3 would save, summed over maximal runs of zeros.
struct RunTally {
  int64_t s1 = 0;
  int64_t s2 = 0;
  int64_t s3 = 0;

  void Add(int64_t run) {
    if (run <= 256) {
      // A run of up to 256 zeros costs 2, 3 or 4 bytes at levels 1, 2, 3; a run shorter
      // than the level is written out byte for byte and saves nothing there.
      s1 += run - 2;
      if (run >= 2) s2 += run - 3;
      if (run >= 3) s3 += run - 4;
    } else {
      s1 += run - (2 * (run / 256) + 2);
      s2 += run - (3 * ((run - run / 256) / 256) + 3);
      s3 += run - (4 * ((run - run / 128) / 256) + 4);
    }
  }

  // Ties go to the lower level.
  int Level(int min_saving) const {
    const int64_t t = min_saving;
    if (s1 >= t && s1 >= s2 && s1 >= s3) return 1;
    if (s2 >= t && s2 >= s3) return 2;
    if (s3 >= t) return 3;
    return 0;
  }
};

// Runs of zeros that lie inside 64-byte blocks (neither bit 0 nor bit 63 of the mask),
// so each is shorter than 64. With Z zeros in R runs, R1 of them of length 1 and R2 of
// length 2, the sums over runs of RunTally::Add are
//   level 1: sum (L - 2)                       = Z - 2 R
//   level 2: sum over L >= 2 of (L - 3)        = (Z - R1) - 3 (R - R1)
//   level 3: sum over L >= 3 of (L - 4)        = (Z - R1 - 2 R2) - 4 (R - R1 - R2)
struct InnerRuns {
  int64_t zeros = 0;
  int64_t runs = 0;
  int64_t ones = 0;
  int64_t twos = 0;

  void Add(uint64_t m) {
    const uint64_t starts = m & ~(m << 1);
    const uint64_t next = m >> 1;  // bit k: is byte k + 1 zero
    zeros += static_cast<int64_t>(BitCount64(m));
    runs += static_cast<int64_t>(BitCount64(starts));
    ones += static_cast<int64_t>(BitCount64(starts & ~next));
    twos += static_cast<int64_t>(BitCount64(starts & next & ~(m >> 2)));
  }

  void AddTo(RunTally* tally) const {
    tally->s1 += zeros - 2 * runs;
    tally->s2 += (zeros - ones) - 3 * (runs - ones);
    tally->s3 += (zeros - ones - 2 * twos) - 4 * (runs - ones - twos);
  }
};

// Codes whole 64-byte blocks of src while at least 80 input bytes (a 16-byte copy may
// read 16 past a block) and 160 bytes of room (a block codes to at most 128 bytes, plus
// a copy's overshoot) remain; returns the input consumed and sets *o_io to the output
// length. (zero::RLE's 1.5 n + 3 bytes hold the overshoot too: with 16 input bytes
// still to come after a block, what was written ends 8 bytes before that.) Runs
// shorter than the level are copied with the non-zero bytes: a token for them is the
// bytes themselves. So in each block only the starts of runs of at least `level` zeros
// matter: bit k of `starts` is set when bytes k to k + level - 1 are all zero, which is
// known for k up to 64 - level. The first such bit after the bytes already coded is the
// start of a maximal run (an earlier zero before it would have set an earlier bit), and
// a run that ends inside the block is shorter than 64 and is never cut. A run that
// reaches the block's end is left to the caller, which measures it across blocks.
int RunCodeBlocks(const unsigned char* src, unsigned char* dst, int n, int level,
                  size_t dst_capacity, size_t* o_io) {
  size_t o = 0;
  int i = 0;
  const int settled = 65 - level;  // positions whose run start is known
  while (n - i >= 80 && dst_capacity - o >= 160) {
    const unsigned char* block = src + i;
    const uint64_t z = simd::ZeroMask64(block);
    uint64_t starts = z;
    if (level >= 2) starts &= z >> 1;
    if (level == 3) starts &= z >> 2;
    int pos = 0;  // bytes of the block coded so far
    bool open_run = false;
    while (starts != 0) {
      const int p = CountTrailingZeros64(starts);
      o += CopyLiterals(block + pos, dst + o, p - pos);
      const uint64_t after = ~z >> p;  // bit 0 is the run's first zero: 0
      if (after == 0) {                // the run reaches the block's end
        pos = p;
        open_run = true;
        break;
      }
      const int k = CountTrailingZeros64(after);
      const uint32_t token = static_cast<uint32_t>(RunCodeByte(k - level)) << (8 * level);
      std::memcpy(dst + o, &token, 4);  // level zeros and the code byte (4th byte: slack)
      o += static_cast<size_t>(level) + 1;
      pos = p + k;
      starts &= ~uint64_t{0} << pos;  // p + k < 64
    }
    if (!open_run && pos < settled) {
      o += CopyLiterals(block + pos, dst + o, settled - pos);
      pos = settled;
    }
    i += pos;
    if (open_run) break;
  }
  *o_io = o;
  return i;
}

// The decoder's counterpart of RunCodeBlocks: decodes whole 64-byte blocks of coded
// bytes while at least 80 of them (a 16-byte copy reads 16 past a block) and
// kDecodeRoom bytes of output room remain; returns the coded bytes consumed and sets
// *o_io to the bytes produced, which never reach n, so the caller's exact loop decides
// the end. Tokens shorter than a run code decode to themselves, so only run codes stop
// the copy: the first m zero bytes in a row at or after a token boundary are a run code
// (the zeros of a shorter token are followed by a non-zero byte), and each run code is
// stepped over whole, its code byte (which may be 0) included. The room is a copy of
// up to 64 literals (writing 79 bytes at most) and a run of at most 258 zeros (written
// as 272: after 64 literals at most 336 bytes in all).
constexpr int kDecodeRoom = 64 + 258 + 16;

int DeRunBlocks(const unsigned char* src, size_t src_len, unsigned char* dst, int n, int level,
                int* o_io) {
  int o = 0;
  size_t j = 0;
  const int settled = 65 - level;
  while (src_len - j >= 80 && n - o >= kDecodeRoom) {
    const unsigned char* block = src + j;
    const uint64_t z = simd::ZeroMask64(block);
    uint64_t starts = z;
    if (level >= 2) starts &= z >> 1;
    if (level == 3) starts &= z >> 2;
    int pos = 0;  // coded bytes of the block consumed so far
    while (starts != 0 && n - o >= kDecodeRoom) {
      const int p = CountTrailingZeros64(starts);
      o += static_cast<int>(CopyLiterals(block + pos, dst + o, p - pos));
      const int zeros = RunFromCodeByte(block[p + level]) + level;
      ZeroFill(dst + o, zeros);
      o += zeros;
      pos = p + level + 1;
      if (pos >= 64) break;
      starts &= ~uint64_t{0} << pos;
    }
    if (starts == 0 && pos < settled && n - o >= kDecodeRoom) {
      o += static_cast<int>(CopyLiterals(block + pos, dst + o, settled - pos));
      pos = settled;
    }
    j += static_cast<size_t>(pos);
    if (pos == 0) break;
  }
  *o_io = o;
  return static_cast<int>(j);
}

// Bytes of the token that codes the bytes from i on: a literal, a short run ended by its
// non-zero byte (levels 2 and 3), or a run code. A position at or after n reads as zero.
size_t TokenBytes(const unsigned char* src, int i, int n, int level) {
  auto at = [src, n](int p) -> unsigned char { return p < n ? src[p] : 0; };
  if (src[i] != 0) return 1;
  if (level >= 2 && at(i + 1) != 0) return 2;
  if (level == 3 && at(i + 2) != 0) return 3;
  return static_cast<size_t>(level) + 1;
}

// The zeros from i on that one run code takes: at least `level` (the first `level` are
// known to be zero or past n), at most 255 + level.
int RunLength(const unsigned char* src, int i, int n, int level) {
  int k = level;
#if ZODUVIV_SSE2
  // Long runs are measured 16 bytes at a time, then cut at 255 + level.
  while (k < 255 + level && n - (i + k) >= 16) {
    const uint32_t zeros = simd::ZeroBits16(simd::Load16(src + i + k));
    if (zeros != 0xFFFFu) {
      k += CountTrailingZeros64(~zeros & 0xFFFFu);
      break;
    }
    k += 16;
  }
  if (k > 255 + level) k = 255 + level;
#endif
  while (k < 255 + level && i + k < n && src[i + k] == 0) ++k;
  return k;
}

}  // namespace

namespace zero {

int RunCodeWithin(const unsigned char* src, unsigned char* dst, int n, int level,
                  size_t dst_capacity) {
  if (n <= 0 || !ValidLevel(level)) return 0;
  // A position at or after n reads as a zero byte.
  auto at = [src, n](int p) -> unsigned char { return p < n ? src[p] : 0; };
  size_t o = 0;
  int i = 0;
  while (i < n) {
    if (n - i >= 80 && dst_capacity - o >= 160) {
      size_t wrote = 0;
      const int used = RunCodeBlocks(src + i, dst + o, n - i, level, dst_capacity - o, &wrote);
      i += used;
      o += wrote;
      if (used != 0) continue;  // else a run from i reaches past the block: measured below
    }
#if ZODUVIV_SSE2
    // Non-zero bytes stand for themselves: copy the ones before the next zero 16 at a
    // time. The store may write up to 16 bytes, all inside dst_capacity; the bytes past
    // the copied ones are overwritten by what follows or lie beyond the coded length.
    // (zero::RLE passes no capacity, but with 16 input bytes still to come the output
    // so far, at most 1.5 i + 1 bytes, ends at least 16 bytes before 1.5 n + 3.)
    if (n - i >= 16 && dst_capacity - o >= 16) {
      const __m128i v = simd::Load16(src + i);
      const int literal = CountTrailingZeros64(simd::ZeroBits16(v) | 0x10000u);
      if (literal != 0) {
        simd::Store16(dst + o, v);
        o += static_cast<size_t>(literal);
        i += literal;
        continue;
      }
    }
#endif
    // The longest token is level + 1 <= 4 bytes; check exactly only near the end.
    if (dst_capacity - o < 4 && dst_capacity - o < TokenBytes(src, i, n, level)) return -1;
    const unsigned char c = src[i];
    if (c != 0) {
      dst[o++] = c;
      i += 1;
    } else if (level >= 2 && at(i + 1) != 0) {
      dst[o++] = 0;
      dst[o++] = src[i + 1];
      i += 2;
    } else if (level == 3 && at(i + 2) != 0) {
      dst[o++] = 0;
      dst[o++] = 0;
      dst[o++] = src[i + 2];
      i += 3;
    } else {
      // The run is at least `level` long (or ends the input early, and then the code
      // covers up to level - 1 positions past n, which a reader never produces).
      const int k = RunLength(src, i, n, level);
      // Written out: a loop of 1 to 3 stores becomes a call of memset.
      dst[o] = 0;
      if (level >= 2) dst[o + 1] = 0;
      if (level == 3) dst[o + 2] = 0;
      o += static_cast<size_t>(level);
      dst[o++] = RunCodeByte(k - level);
      i += k;
    }
  }
  return static_cast<int>(o);
}

}  // namespace zero

namespace {
// zero::deRLE from src_len coded bytes; read_ahead lets whole blocks be read at a time.
int DeRunTokens(const unsigned char* src, size_t src_len, unsigned char* dst, int n, int level,
                bool read_ahead);
}  // namespace

namespace zero {

int RLE(const unsigned char* src, unsigned char* dst, int n, int level) {
  return RunCodeWithin(src, dst, n, level, std::numeric_limits<size_t>::max());
}

int testRLE(const unsigned char* src, int n, int min_saving) {
  // Estimated bytes saved by levels 1, 2, 3. Runs are whole here, not cut at 256; the
  // estimates for long runs are the established ones and decide the stream format.
  RunTally tally;
  // The input is read 64 bytes at a time as a mask with one bit per zero byte. A run
  // that touches either end of a block may continue into the next one and is measured
  // exactly (it may exceed 256). The runs inside a block are at most 62 long, and for
  // runs of up to 256 the three savings depend only on how many zeros there are and how
  // many runs of length 1, of length 2 and in all: those four counts come from the mask
  // without a branch per run.
  InnerRuns inner;
  int64_t run = 0;  // zeros of the run still open at the end of the last block
  int i = 0;
  for (; i + 64 <= n; i += 64) {
    uint64_t zeros = simd::ZeroMask64(src + i);
    if (zeros == ~uint64_t{0}) {
      run += 64;
      continue;
    }
    // The zeros at the bottom end the open run (or start and end one of their own).
    run += CountTrailingZeros64(~zeros);
    if (run != 0) tally.Add(run);
    zeros &= zeros + 1;  // clears the ones at the bottom
    // The zeros at the top open the next run.
    const int top = CountLeadingZeros64(~zeros);
    run = top;
    zeros &= ~uint64_t{0} >> top;  // top < 64: the block holds a non-zero byte
    inner.Add(zeros);
  }
  for (; i < n; ++i) {
    if (src[i] == 0) {
      ++run;
    } else if (run != 0) {
      tally.Add(run);
      run = 0;
    }
  }
  if (run != 0) tally.Add(run);
  inner.AddTo(&tally);
  return tally.Level(min_saving);
}

int deRLE(const unsigned char* src, unsigned char* dst, int n, int level) {
  // Without a length the coded string may end right after its last token, so the block
  // decoder, which reads ahead, is not used.
  return DeRunTokens(src, std::numeric_limits<size_t>::max(), dst, n, level, false);
}

int deRLE(const unsigned char* src, size_t src_len, unsigned char* dst, int n, int level) {
  return DeRunTokens(src, src_len, dst, n, level, true);
}

}  // namespace zero

namespace {

int DeRunTokens(const unsigned char* src, size_t src_len, unsigned char* dst, int n, int level,
                bool read_ahead) {
  if (n <= 0 || !ValidLevel(level)) return 0;
  size_t j = 0;
  int o = 0;
  while (o < n) {
    if (read_ahead && src_len - j >= 80 && n - o >= kDecodeRoom) {
      int made = 0;
      const int used = DeRunBlocks(src + j, src_len - j, dst + o, n - o, level, &made);
      j += static_cast<size_t>(used);
      o += made;
      if (used != 0) continue;
    }
    const size_t left = src_len - j;  // j never passes src_len
    if (left == 0) return -1;
    const unsigned char c = src[j];
    if (c != 0) {
      dst[o++] = c;
      j += 1;
      continue;
    }
    if (left < 2) return -1;
    int zeros = 0;
    unsigned char tail = 0;  // non-zero byte that ends a short run, 0 for a run code
    size_t used = 0;
    if (level == 1) {
      zeros = RunFromCodeByte(src[j + 1]) + 1;
      used = 2;
    } else if (src[j + 1] != 0) {
      zeros = 1;
      tail = src[j + 1];
      used = 2;
    } else {
      if (left < 3) return -1;
      if (level == 2) {
        zeros = RunFromCodeByte(src[j + 2]) + 2;
        used = 3;
      } else if (src[j + 2] != 0) {
        zeros = 2;
        tail = src[j + 2];
        used = 3;
      } else {
        if (left < 4) return -1;
        zeros = RunFromCodeByte(src[j + 3]) + 3;
        used = 4;
      }
    }
    // A token that reaches past n is written only up to n and still counts whole.
    const int room = n - o;
    const int put = zeros < room ? zeros : room;
    std::memset(dst + o, 0, static_cast<size_t>(put));
    o += put;
    if (tail != 0 && o < n) dst[o++] = tail;
    j += used;
  }
  return static_cast<int>(j);
}

}  // namespace
