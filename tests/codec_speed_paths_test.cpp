// The codec's fast paths against plain byte-at-a-time reference forms kept here: the
// row-vectorised prediction (every width 1 to 70, for the vector tails), the zero-run
// test on 64-byte masks, the branch-free range encoder (carries included), the frame
// compressor's interleaved streams and the frame decoder's interleaved streams with
// its lookup table, on whole frames and on truncated input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// --- Reference forms --------------------------------------------------------------------

Bytes ReferenceResiduals(Bytes src, int width, int height) {
  const size_t row = size_t(width) * 3;
  const size_t total = row * size_t(height);
  for (size_t p = 0; p < total; p += 3) {
    src[p] = uint8_t(src[p] - src[p + 1]);
    src[p + 2] = uint8_t(src[p + 2] - src[p + 1]);
  }
  Bytes dst(total);
  for (size_t i = 0; i < total; ++i) {
    if (i < 3) {
      dst[i] = src[i];
    } else if (i < row) {
      dst[i] = uint8_t(src[i] - src[i - 3]);
    } else if (i < row + 3) {
      dst[i] = uint8_t(src[i] - src[i - row]);
    } else {
      const int l = src[i - 3], a = src[i - row], d = src[i - row - 3];
      dst[i] = uint8_t(src[i] - median(l, a, l + a - d));
    }
  }
  return dst;
}

int ReferenceTestRLE(const Bytes& src, int min_saving) {
  int64_t s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  while (i < src.size()) {
    if (src[i] != 0) {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < src.size() && src[i] == 0) ++i;
    const int64_t run = int64_t(i - start);
    if (run <= 256) {
      s1 += run - 2;
      if (run >= 2) s2 += run - 3;
      if (run >= 3) s3 += run - 4;
    } else {
      s1 += run - (2 * (run / 256) + 2);
      s2 += run - (3 * ((run - run / 256) / 256) + 3);
      s3 += run - (4 * ((run - run / 128) / 256) + 4);
    }
  }
  if (s1 >= min_saving && s1 >= s2 && s1 >= s3) return 1;
  if (s2 >= min_saving && s2 >= s3) return 2;
  if (s3 >= min_saving) return 3;
  return 0;
}

Bytes ReferenceRLE(const Bytes& src, int m) {
  const int n = int(src.size());
  auto at = [&](int p) -> uint8_t { return p < n ? src[p] : 0; };
  Bytes out;
  int i = 0;
  while (i < n) {
    if (src[i] != 0) {
      out.push_back(src[i]);
      i += 1;
    } else if (m >= 2 && at(i + 1) != 0) {
      out.push_back(0);
      out.push_back(src[i + 1]);
      i += 2;
    } else if (m == 3 && at(i + 2) != 0) {
      out.push_back(0);
      out.push_back(0);
      out.push_back(src[i + 2]);
      i += 3;
    } else {
      int k = m;
      while (k < 255 + m && i + k < n && src[i + k] == 0) ++k;
      for (int z = 0; z < m; ++z) out.push_back(0);
      const int r = k - m;
      out.push_back(uint8_t(r % 2 == 0 ? r / 2 : 256 - (r + 1) / 2));
      i += k;
    }
  }
  return out;
}

// The coder with a held-back byte and a count of pending 0xFF bytes.
Bytes ReferenceEncode(const uint32_t* p, uint32_t shift, const Bytes& in) {
  uint32_t low = 0, range = 0x80000000u, cache = 0, pending = 0;
  Bytes out;
  for (uint8_t s : in) {
    const uint32_t r = range >> shift;
    low += r * p[s];
    range = s < 255 ? r * (p[s + 1] - p[s]) : range - r * p[255];
    while (range <= 0x800000u) {
      if (low <= 0x7F7FFFFFu) {
        out.push_back(uint8_t(cache));
        for (; pending != 0; --pending) out.push_back(0xFF);
        cache = low >> 23;
      } else if (low >= 0x80000000u) {
        out.push_back(uint8_t(cache + 1));
        for (; pending != 0; --pending) out.push_back(0x00);
        cache = low >> 23;
      } else {
        ++pending;
      }
      range <<= 8;
      low = (low << 8) & 0x7FFFFF00u;
    }
  }
  const uint32_t top = low >> 23;
  out.push_back(uint8_t(top > 0xFF ? cache + 1 : cache));
  for (; pending != 0; --pending) out.push_back(top > 0xFF ? 0x00 : 0xFF);
  out.push_back(uint8_t(top));
  out.push_back(uint8_t(low >> 15));
  out.push_back(uint8_t(low >> 7));
  out.push_back(uint8_t(low << 1));
  return out;
}

// --- Content -----------------------------------------------------------------------------

// Kinds: 0 noise, 1 smooth with light noise, 2 mostly zero with rare values (long runs
// across 64-byte blocks), 3 few distinct values with 255 common, 4 all one value but
// the last byte.
Bytes MakeBytes(size_t n, int kind, std::mt19937& rng) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    switch (kind) {
      case 0: b[i] = uint8_t(rng()); break;
      case 1: b[i] = uint8_t(100 + (i * 7 / (n + 1)) + rng() % 3); break;
      case 2: b[i] = rng() % 97 == 0 ? uint8_t(1 + rng() % 255) : 0; break;
      case 3: b[i] = "\xFF\x00\x01\xFF\x02\xFF\x80"[rng() % 7]; break;
      default: b[i] = i + 1 == n ? 9 : 4; break;
    }
  }
  return b;
}

// --- Tests -------------------------------------------------------------------------------

TEST(SpeedPaths, DeEntropyMatchesReferenceForEveryWidthTo70) {
  std::mt19937 rng(1);
  for (int w = 1; w <= 70; ++w)
    for (int h = 1; h <= 4; ++h)
      for (int kind = 0; kind < 4; ++kind) {
        const Bytes frame = MakeBytes(size_t(w) * h * 3, kind, rng);
        Bytes work = frame, res(frame.size());
        DeEntropy(work.data(), res.data(), w, h);
        ASSERT_EQ(res, ReferenceResiduals(frame, w, h)) << "w=" << w << " h=" << h << " kind=" << kind;
      }
}

TEST(SpeedPaths, TestRLEMatchesReferenceOnRunsAcrossBlocks) {
  std::mt19937 rng(2);
  for (int trial = 0; trial < 400; ++trial) {
    const size_t n = trial < 300 ? size_t(trial) : 1000 + rng() % 5000;
    Bytes b(n);
    // Runs of random length (some above 256) between non-zero bytes.
    size_t i = 0;
    const int long_runs = trial % 3;
    while (i < n) {
      size_t run = rng() % (long_runs == 2 ? 600 : long_runs == 1 ? 70 : 4);
      for (; run > 0 && i < n; --run) b[i++] = 0;
      if (i < n) b[i++] = uint8_t(1 + rng() % 255);
    }
    for (int t : {1, 16, 100}) {
      ASSERT_EQ(zero::testRLE(b.data(), int(n), t), ReferenceTestRLE(b, t)) << "n=" << n << " trial=" << trial << " t=" << t;
    }
  }
}

TEST(SpeedPaths, ZeroRunCoderMatchesReferenceOnEveryKindOfRun) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 600; ++trial) {
    const size_t n = trial < 300 ? size_t(trial) : 1000 + rng() % 3000;
    Bytes b(n);
    size_t i = 0;
    const int kind = trial % 4;
    while (i < n) {
      size_t run = rng() % (kind == 3 ? 700 : kind == 2 ? 40 : kind == 1 ? 4 : 2);
      for (; run > 0 && i < n; --run) b[i++] = 0;
      size_t literal = 1 + rng() % (kind == 0 ? 40 : 5);
      for (; literal > 0 && i < n; --literal) b[i++] = uint8_t(1 + rng() % 255);
    }
    for (int level = 1; level <= 3; ++level) {
      const Bytes want = ReferenceRLE(b, level);
      Bytes out(n + (n + 1) / 2 + 3, 0xEE);  // exactly the room zero::RLE may use
      const int k = zero::RLE(b.data(), out.data(), int(n), level);
      ASSERT_EQ(Bytes(out.begin(), out.begin() + k), want) << "n=" << n << " level=" << level << " trial=" << trial;
      Bytes back(n);
      ASSERT_EQ(zero::deRLE(out.data(), size_t(k), back.data(), int(n), level), k);
      ASSERT_EQ(back, b);
    }
  }
}

TEST(SpeedPaths, RangeEncoderMatchesHeldBackByteFormIncludingCarries) {
  std::mt19937 rng(3);
  Compress coder;
  coder.InitCompressBuffers(16);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = 1 + rng() % 3000;
    const Bytes data = MakeBytes(n, trial % 5, rng);
    coder.calcprob(data.data(), unsigned(n));
    Bytes out(MaxChannelStreamBytes(uint32_t(n)) + 8);
    const unsigned m = coder.encode(data.data(), out.data(), unsigned(n));
    const Bytes want = ReferenceEncode(coder.prob.get(), coder.shift, data);
    ASSERT_EQ(Bytes(out.begin(), out.begin() + m), want) << "n=" << n << " trial=" << trial;
  }
}

// Compresses with CompressContinue and checks the frame against DeEntropy + three calls
// of Compress::compact, then decodes it.
void CheckFrame(const Bytes& frame, int w, int h) {
  CodecInst codec;
  ASSERT_EQ(codec.CompressBegin(w, h, 24), 0);
  const size_t cap = MaxCompressedFrameSize(w, h);
  Bytes out(cap, 0xAA);
  ICCOMPRESS icc;
  icc.input = frame.data();
  icc.output = out.data();
  codec.CompressContinue(&icc, 0);
  ASSERT_LE(icc.size, cap);
  out.resize(icc.size);

  const uint32_t n = uint32_t(w) * uint32_t(h);
  bool solid = true;
  for (size_t i = 3; i < frame.size(); ++i) solid = solid && frame[i] == frame[i % 3];
  if (!solid) {
    const Bytes res = ReferenceResiduals(frame, w, h);
    Compress coder;
    coder.InitCompressBuffers(n + (n + 1) / 2 + 3);
    Bytes want(cap, 0x55);
    want[0] = 4;
    uint32_t at = 9;
    for (int c = 0; c < 3; ++c) {
      Bytes plane(n);
      for (uint32_t i = 0; i < n; ++i) plane[i] = res[3 * size_t(i) + c];
      at += coder.compact(plane.data(), want.data() + at, n);
      if (c < 2) {
        for (int k = 0; k < 4; ++k) want[1 + 4 * c + k] = uint8_t(at >> (8 * k));
      }
    }
    want.resize(at);
    ASSERT_EQ(out, want) << "w=" << w << " h=" << h;
  }

  FrameDecoder decoder;
  ASSERT_TRUE(decoder.Begin(w, h));
  Bytes back(frame.size());
  ASSERT_TRUE(decoder.Decode(out.data(), out.size(), back.data())) << "w=" << w << " h=" << h;
  ASSERT_EQ(back, frame) << "w=" << w << " h=" << h;
}

TEST(SpeedPaths, FramesOfEveryWidthTo70MatchThePlainPathAndRoundTrip) {
  std::mt19937 rng(4);
  for (int w = 1; w <= 70; ++w)
    for (int h : {1, 2, 3, 9})
      for (int kind = 0; kind < 5; ++kind) CheckFrame(MakeBytes(size_t(w) * h * 3, kind, rng), w, h);
}

TEST(SpeedPaths, LargerFramesWithStreamsOfDifferentLengths) {
  std::mt19937 rng(5);
  const int w = 257, h = 61;
  // Channel 0 noise (method 0), channel 1 mostly zero residuals (zero-run coded, a much
  // shorter range code), channel 2 smooth: the three interleaved codes end at different
  // symbols.
  Bytes frame(size_t(w) * h * 3);
  for (size_t p = 0; p < frame.size(); p += 3) {
    frame[p + 1] = 77;
    frame[p] = uint8_t(frame[p + 1] + rng());
    frame[p + 2] = uint8_t(frame[p + 1] + (p / 3) % 5);
  }
  CheckFrame(frame, w, h);
  for (int kind = 0; kind < 5; ++kind) CheckFrame(MakeBytes(frame.size(), kind, rng), w, h);
}

TEST(SpeedPaths, TruncatedAndDamagedFramesAreRefusedSafely) {
  std::mt19937 rng(6);
  const int w = 37, h = 5;
  for (int kind = 0; kind < 4; ++kind) {
    const Bytes frame = MakeBytes(size_t(w) * h * 3, kind, rng);
    CodecInst codec;
    ASSERT_EQ(codec.CompressBegin(w, h, 24), 0);
    Bytes out(MaxCompressedFrameSize(w, h));
    ICCOMPRESS icc;
    icc.input = frame.data();
    icc.output = out.data();
    codec.CompressContinue(&icc, 0);
    out.resize(icc.size);
    FrameDecoder decoder;
    ASSERT_TRUE(decoder.Begin(w, h));
    Bytes back(frame.size());
    // Every truncation: an exact-size copy, so a read past the end is a sanitizer error.
    for (size_t len = 0; len < out.size(); ++len) {
      Bytes cut(out.begin(), out.begin() + len);
      const bool ok = decoder.Decode(cut.data(), cut.size(), back.data());
      if (ok) {
        EXPECT_EQ(back, frame) << "len=" << len;
      }
    }
    // Flipped bytes: any result, but no read or write outside the buffers.
    for (int t = 0; t < 200; ++t) {
      Bytes bad = out;
      bad[rng() % bad.size()] ^= uint8_t(1 + rng() % 255);
      (void)decoder.Decode(bad.data(), bad.size(), back.data());
    }
  }
}

}  // namespace
