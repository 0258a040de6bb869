// Channel streams: golden streams, the zero-run choice, round trips for all four methods,
// the proven stream bound and the checked unpacker on damaged streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "tests/support/bytes.h"

namespace {

using testbytes::Bytes;
using testbytes::Cat;
using testbytes::Hex;
using testbytes::Zeros;

// Packs a plane into a buffer of exactly MaxChannelStreamBytes and returns the extent.
Bytes Pack(Compress& c, const Bytes& plane) {
  const uint32_t n = static_cast<uint32_t>(plane.size());
  Bytes out(MaxChannelStreamBytes(n), 0xCD);
  const unsigned int extent = c.compact(plane.data(), out.data(), n);
  EXPECT_LE(extent, out.size()) << "len=" << n;
  out.resize(std::min<size_t>(extent, out.size()));
  return out;
}

class ChannelStream : public ::testing::Test {
 protected:
  void SetUp() override { c.InitCompressBuffers(1 << 20); }
  Compress c;
};

TEST_F(ChannelStream, GoldenStreams) {
  const struct {
    const char* name;
    Bytes plane;
    const char* written;
    size_t extent;  // 0: one more than written
  } kCases[] = {
      {"five_bytes", {0, 0, 0, 1, 255}, "00 31 B0 FE B0 34 BC 00 00", 10},
      {"ten_zeros", Zeros(10), "00 B7 87 FC 00 00 00 00", 9},
      {"forty_zeros_and_one", Cat(Zeros(40), {1}), "01 03 00 00 00 66 C3 D4 D8 CC 70 00 00 00", 15},
      // The three residual planes of the 4 x 2 key frame example.
      {"key_frame_plane_0", {246, 0, 0, 0, 0, 255, 111, 0}, "00 3B 5D CD 86 19 BB 0C C4 A7 68 00 00", 0},
      {"key_frame_plane_1", {20, 2, 3, 0, 1, 2, 75, 0}, "00 76 76 C6 0D CE CD 86 D0 D1 14 C0 00 00 00", 0},
      {"key_frame_plane_2",
       {10, 3, 2, 0, 0, 255, 192, 0},
       "00 33 D9 B3 9B 0D AB 73 F3 00 B1 91 70 00 00 00", 0},
  };
  for (const auto& k : kCases) {
    const Bytes s = Pack(c, k.plane);
    ASSERT_FALSE(s.empty()) << k.name;
    // The written bytes, then the extent's last byte, which compact sets to 0.
    EXPECT_EQ(Hex(s.data(), s.size() - 1), k.written) << k.name;
    EXPECT_EQ(s.back(), 0) << k.name;
    if (k.extent) {
      EXPECT_EQ(s.size(), k.extent) << k.name;
    }
    Bytes back(k.plane.size(), 0xCD);
    EXPECT_TRUE(c.uncompact(s.data(), s.size() - 1, back.data(),
                            static_cast<unsigned int>(back.size())))
        << k.name;
    EXPECT_EQ(back, k.plane) << k.name;
  }
}

// Which method compact picks: a run of zeros must save at least 16 bytes at level 1, or
// more in longer channels.
TEST_F(ChannelStream, MinSavingGrowsWithTheChannel) {
  // A plane of non-zero bytes with one run of zeros saving `saving` bytes at level 1.
  auto plane = [](size_t n, size_t saving) {
    Bytes p(n, 9);
    for (size_t i = 100; i < 100 + saving + 2; ++i) p[i] = 0;
    return p;
  };
  const struct {
    const char* name;
    Bytes plane;
    int method;
  } kCases[] = {{"18 zeros then 1", Cat(Zeros(18), {1}), 1},
                {"17 zeros then 1", Cat(Zeros(17), {1}), 0},
                {"n=1000 saving=16", plane(1000, 16), 1},
                {"n=1000 saving=15", plane(1000, 15), 0},
                {"n=16000 saving=16", plane(16000, 16), 1},
                {"n=16999 saving=16", plane(16999, 16), 1},
                {"n=17000 saving=16", plane(17000, 16), 0},
                {"n=17000 saving=17", plane(17000, 17), 1},
                {"n=40000 saving=39", plane(40000, 39), 0},
                {"n=40000 saving=40", plane(40000, 40), 1}};
  for (const auto& k : kCases) EXPECT_EQ(Pack(c, k.plane)[0], k.method) << "case=" << k.name;
}

TEST_F(ChannelStream, NoiseStreamIsLongerThanItsPlane) {
  // Every value 256 times, no two zeros next to each other: method 0, a 448-byte header
  // (257 is 14 bits) and a range code of 65,541 bytes.
  Bytes plane(65536);
  for (size_t i = 0; i < plane.size(); ++i) plane[i] = static_cast<unsigned char>(i * 97 % 256);
  const Bytes s = Pack(c, plane);
  EXPECT_EQ(s.size(), 65990u);
  EXPECT_EQ(s[0], 0);
  unsigned int values[256];
  EXPECT_EQ(FibonacciDecode2(s.data() + 1, s.size() - 1, values, 256), 448u);
  EXPECT_LE(s.size(), MaxChannelStreamBytes(65536));
  Bytes back(plane.size());
  EXPECT_TRUE(c.uncompact(s.data(), s.size(), back.data(), 65536));
  EXPECT_EQ(back, plane);
}

TEST_F(ChannelStream, HeaderEndingOnByteBoundary) {
  // Counts 1 for every value: 256 x 4 bits, the header ends on a byte boundary.
  Bytes plane(256);
  for (int i = 0; i < 256; ++i) plane[i] = static_cast<unsigned char>(i);
  const Bytes s = Pack(c, plane);
  unsigned int values[256];
  EXPECT_EQ(FibonacciDecode2(s.data() + 1, s.size() - 1, values, 256), 128u);
  EXPECT_EQ(s[128], 0x66);  // the header's last byte (0110 0110), put back after the code
  Bytes back(plane.size());
  EXPECT_TRUE(c.uncompact(s.data(), s.size(), back.data(), 256));
  EXPECT_EQ(back, plane);
}

TEST_F(ChannelStream, OutputIsDeterministic) {
  std::mt19937 rng(3);
  Bytes plane(5000);
  for (auto& b : plane) b = rng() % 4 == 0 ? static_cast<unsigned char>(rng()) : 0;
  const uint32_t n = static_cast<uint32_t>(plane.size());
  Bytes a(MaxChannelStreamBytes(n), 0x00);
  Bytes b(MaxChannelStreamBytes(n), 0xFF);
  const unsigned int ea = c.compact(plane.data(), a.data(), n);
  const unsigned int eb = c.compact(plane.data(), b.data(), n);
  ASSERT_EQ(ea, eb);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + ea, b.begin()));
}

TEST_F(ChannelStream, EmptyPlane) {
  const Bytes s = Pack(c, {});
  EXPECT_EQ(s[0], 0);
  EXPECT_LE(s.size(), MaxChannelStreamBytes(0));
  unsigned char sink = 0xCD;
  EXPECT_TRUE(c.uncompact(s.data(), s.size(), &sink, 0));
  EXPECT_EQ(sink, 0xCD);
}

enum Style { kNoise, kSparse, kLongRuns, kHighOnly, kSingleValue, kPairs, kLoneZeros, kStyles };

Bytes Generate(std::mt19937& rng, size_t n, int style) {
  Bytes p(n);
  switch (style) {
    case kNoise:
      for (auto& b : p) b = static_cast<unsigned char>(rng());
      break;
    case kSparse:
      for (auto& b : p) b = rng() % 10 == 0 ? static_cast<unsigned char>(rng()) : 0;
      break;
    case kLongRuns:
      for (size_t i = 0; i < n;) {
        const size_t run = rng() % 3 == 0 ? rng() % 4 : 200 + rng() % 900;
        for (size_t z = 0; z < run && i < n; ++z) p[i++] = 0;
        if (i < n) p[i++] = static_cast<unsigned char>(1 + rng() % 255);
      }
      break;
    case kHighOnly:
      for (auto& b : p) b = static_cast<unsigned char>(128 + rng() % 128);
      break;
    case kSingleValue: {
      const unsigned char v = static_cast<unsigned char>(rng());
      for (auto& b : p) b = v;
      break;
    }
    case kPairs:  // lone zeros, pairs and some runs of 20: level 3 pays most
    case kLoneZeros:  // mostly lone zeros and a few runs of 20: level 2 pays most
      for (size_t i = 0; i < n;) {
        const uint32_t x = rng() % 100;
        size_t run = 0;
        if (style == kPairs) run = x < 45 ? 1 : x < 85 ? 2 : 20;
        if (style == kLoneZeros) run = x < 70 ? 1 : x < 75 ? 20 : 0;
        for (size_t z = 0; z < run && i < n; ++z) p[i++] = 0;
        if (i < n) p[i++] = static_cast<unsigned char>(1 + rng() % 255);
      }
      break;
    default:
      break;
  }
  return p;
}

TEST_F(ChannelStream, RoundTripsAllMethods) {
  int methods[4] = {0, 0, 0, 0};
  for (uint32_t seed = 1; seed <= 1400; ++seed) {
    std::mt19937 rng(seed);
    const size_t n = seed % 50 == 0 ? 1 + rng() % 400000 : 1 + rng() % 2000;
    const int style = static_cast<int>(seed % kStyles);
    const Bytes plane = Generate(rng, n, style);
    const Bytes s = Pack(c, plane);
    ASSERT_LE(s[0], 3) << "len=" << n << " seed=" << seed;
    ++methods[s[0]];
    Bytes back(n, 0xCD);
    ASSERT_TRUE(c.uncompact(s.data(), s.size() - 1, back.data(), static_cast<unsigned int>(n)))
        << "len=" << n << " seed=" << seed << " style=" << style;
    ASSERT_EQ(back, plane) << "len=" << n << " seed=" << seed << " style=" << style;
    Bytes back2(n, 0xCD);
    c.uncompact(s.data(), back2.data(), static_cast<unsigned int>(n));
    ASSERT_EQ(back2, plane) << "len=" << n << " seed=" << seed;
  }
  for (int m = 0; m < 4; ++m) EXPECT_GT(methods[m], 10) << "method " << m;
}

TEST_F(ChannelStream, BoundHoldsForAllShortLengths) {
  for (uint32_t n = 1; n <= 768; ++n) {
    for (int style = 0; style < kStyles; ++style) {
      const uint32_t seed = n * 16 + static_cast<uint32_t>(style);
      std::mt19937 rng(seed);
      const Bytes plane = Generate(rng, n, style);
      Bytes out(MaxChannelStreamBytes(n) + 64, 0xCD);
      const unsigned int extent = c.compact(plane.data(), out.data(), n);
      ASSERT_LE(extent, MaxChannelStreamBytes(n)) << "len=" << n << " seed=" << seed;
      for (size_t i = extent; i < out.size(); ++i) {
        ASSERT_EQ(out[i], 0xCD) << "len=" << n << " seed=" << seed << " wrote past the extent";
      }
    }
  }
}

TEST_F(ChannelStream, BoundHoldsForNoiseAndSkew) {
  const uint32_t kLengths[] = {1000, 4096, 4097, 65536, 65537, 1u << 20, (1u << 20) + 1};
  for (uint32_t n : kLengths) {
    for (int style = 0; style < 3; ++style) {
      std::mt19937 rng(n + static_cast<uint32_t>(style));
      Bytes plane(n);
      for (auto& b : plane) {
        if (style == 0) b = static_cast<unsigned char>(rng());
        // All 256 values, one of them holding almost everything: a maximal count header
        // and the largest rounding losses on the rare symbols.
        if (style == 1) b = rng() % 64 == 0 ? static_cast<unsigned char>(rng()) : 0x55;
        if (style == 2) b = static_cast<unsigned char>(rng() % 2 ? 0xFF : rng() % 7);
      }
      const Bytes s = Pack(c, plane);
      EXPECT_LE(s.size(), MaxChannelStreamBytes(n)) << "len=" << n << " style=" << style;
    }
  }
}

TEST(ChannelStreamBuffers, SmallRunBufferFallsBackToMethodZero) {
  // A run buffer too small for the zero-run form: the plane goes out with method 0.
  Compress small;
  small.InitCompressBuffers(8);
  const Bytes plane = Cat(Zeros(1000), {5});
  Bytes out(MaxChannelStreamBytes(1001));
  const unsigned int extent = small.compact(plane.data(), out.data(), 1001);
  EXPECT_EQ(out[0], 0);
  Compress reader;
  reader.InitCompressBuffers(0);
  Bytes back(plane.size());
  EXPECT_TRUE(reader.uncompact(out.data(), extent, back.data(), 1001));
  EXPECT_EQ(back, plane);
}

TEST(ChannelStreamBuffers, ReaderRejectsRunLengthAboveItsBuffer) {
  Compress writer;
  writer.InitCompressBuffers(4096);
  const Bytes plane = Cat(Zeros(1000), Bytes(40, 3));
  const Bytes s = Pack(writer, plane);
  ASSERT_EQ(s[0], 1);
  Compress reader;
  reader.InitCompressBuffers(20);  // the run-coded form is 2 x 4 + 40 + ... > 20 bytes
  Bytes back(plane.size());
  EXPECT_FALSE(reader.uncompact(s.data(), s.size(), back.data(), 1040));
}

TEST_F(ChannelStream, RejectsDamagedHeaders) {
  const Bytes plane = Cat(Zeros(300), {7, 7, 0, 1});
  const Bytes s = Pack(c, plane);
  ASSERT_EQ(s[0], 1);
  Bytes back(plane.size());
  const unsigned int n = static_cast<unsigned int>(plane.size());

  Bytes bad = s;
  bad[0] = 4;  // unknown method
  EXPECT_FALSE(c.uncompact(bad.data(), bad.size(), back.data(), n));
  bad[0] = 0xFF;
  EXPECT_FALSE(c.uncompact(bad.data(), bad.size(), back.data(), n));

  bad = s;  // run length beyond 1.5 n + 3
  bad[1] = 0xFF, bad[2] = 0xFF, bad[3] = 0, bad[4] = 0;
  EXPECT_FALSE(c.uncompact(bad.data(), bad.size(), back.data(), n));
  bad[1] = 0xFF, bad[2] = 0xFF, bad[3] = 0xFF, bad[4] = 0xFF;
  EXPECT_FALSE(c.uncompact(bad.data(), bad.size(), back.data(), n));

  // Counts that do not add up to the coded length: the right stream, the wrong length.
  EXPECT_FALSE(c.uncompact(s.data(), s.size(), back.data(), n + 1));
  const Bytes m0 = Pack(c, {0, 0, 0, 1, 255});
  Bytes five(6);
  EXPECT_FALSE(c.uncompact(m0.data(), m0.size(), five.data(), 6));
  EXPECT_FALSE(c.uncompact(m0.data(), m0.size(), five.data(), 4));
  EXPECT_FALSE(c.uncompact(m0.data(), m0.size(), five.data(), 0));

  // A zero-run string that does not make exactly the plane: one byte short of what the
  // plane needs, or with a coded byte left over.
  EXPECT_FALSE(c.uncompact(s.data(), s.size(), back.data(), n - 1));
}

TEST_F(ChannelStream, CountTotalAboveTheLimit) {
  // A hand-made header claiming 2^23 + 1 bytes of symbol 0 for a plane of that length.
  const unsigned int counts[256] = {(1u << 23) + 1};
  Bytes s(kMaxCountHeaderBytes + 16, 0);
  s[0] = 0;
  const unsigned int h = FibonacciEncode2(counts, s.data() + 1, 256);
  s.resize(1 + h + 8);
  Bytes back(16);
  EXPECT_FALSE(c.uncompact(s.data(), s.size(), back.data(), (1u << 23) + 1));
}

// Damaged streams: every cut of the written bytes fails or (only when no more than the last
// few code bytes are missing) decodes exactly; random bit flips give false or some plane,
// never a fault. Each input is an exact-size heap block, so ASan catches a read past it.
TEST_F(ChannelStream, TruncationsAndBitFlips) {
  for (uint32_t seed = 1; seed <= 120; ++seed) {
    std::mt19937 rng(seed);
    const size_t n = 1 + rng() % (seed <= 70 ? 600 : 800);
    const Bytes plane = Generate(rng, n, static_cast<int>(seed % kStyles));
    const Bytes s = Pack(c, plane);
    const size_t written = s.size() - 1;
    Bytes back(n);
    ASSERT_TRUE(c.uncompact(s.data(), written, back.data(), static_cast<unsigned int>(n)))
        << "len=" << n << " seed=" << seed;
    for (size_t cut = 0; seed <= 70 && cut < written; ++cut) {
      const Bytes part(s.begin(), s.begin() + static_cast<long>(cut));
      std::fill(back.begin(), back.end(), 0xCD);
      if (c.uncompact(part.data(), part.size(), back.data(), static_cast<unsigned int>(n))) {
        ASSERT_GE(cut + 8, written) << "len=" << n << " seed=" << seed << " cut=" << cut;
        ASSERT_EQ(back, plane) << "len=" << n << " seed=" << seed << " cut=" << cut;
      }
    }
    for (int flip = 0; flip < 60; ++flip) {
      Bytes bad(s.begin(), s.end() - 1);
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] ^= static_cast<unsigned char>(1u << (rng() % 8));
      (void)c.uncompact(bad.data(), bad.size(), back.data(), static_cast<unsigned int>(n));
    }
  }
}

}  // namespace
