// Channel streams: golden count headers and streams, the zero-run choice, every kind of plane
// by hash and back, and the checked readers on cut, damaged and random bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/test_data.h"

namespace {

using testbytes::Bytes;
using testbytes::Cat;
using Values = std::vector<unsigned int>;

Bytes Header(const Values& v) {  // and the one byte after it, which it may clear
  Bytes out(2 * kMaxCountHeaderBytes + 1, 0xAB);
  out.resize(FibonacciEncode2(v.data(), out.data(), unsigned(v.size())) + 1);
  return out;
}

Bytes Pack(Compress& c,
           const Bytes& plane) {  // into exactly MaxChannelStreamBytes of garbage; the extent
  Bytes out(MaxChannelStreamBytes(uint32_t(plane.size())), 0xCD);
  const unsigned int extent = c.compact(plane.data(), out.data(), uint32_t(plane.size()));
  EXPECT_LE(extent, out.size()) << "len=" << plane.size();
  out.resize(std::min<size_t>(extent, out.size()));
  return out;
}

class ChannelStream : public ::testing::Test {
 protected:
  void SetUp() override { c.InitCompressBuffers(1 << 24); }
  bool Unpack(const Bytes& s, size_t len, Bytes* plane) {
    return c.uncompact(s.data(), len, plane->data(), uint32_t(plane->size()));
  }
  Compress c;
};

// A count N - 1 starts with the number N; 2^(L-1) with the code of length L. Whole headers:
// the worked example, ten zeros, one of whole bytes (the byte after it cleared), the longest,
// a zero run past 256 values (cut at 255); the code of bit length 33 is refused.
TEST(CountHeader, GoldenNumbersAndHeaders) {
  const struct {
    uint32_t n;
    const char* bits;
  } kNumbers[] = {{1, "11"},
                  {2, "0110"},
                  {3, "0111"},
                  {4, "001100"},
                  {5, "001101"},
                  {7, "001111"},
                  {8, "1011000"},
                  {100, "01011100100"},
                  {1u << 2, "0011"},
                  {1u << 4, "00011"},
                  {1u << 7, "000011"},
                  {1u << 20, "00000011"},
                  {1u << 31, "00101011"}};
  for (const auto& k : kNumbers) {
    Values v(256, 5);
    v[0] = k.n - 1;
    const Bytes h = Header(v);
    std::string bits;
    for (size_t i = 0; i < std::strlen(k.bits); ++i)
      bits += (h[i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
    EXPECT_EQ(bits, k.bits) << "N=" << k.n;
  }
  Values example(256, 0), ten_zeros(256, 0), longer(600, 3);
  example[0] = 3, example[1] = 1, example[255] = 1, ten_zeros[0] = 10;  // example: 0, 0, 0, 1, 255
  std::fill(longer.begin() + 250, longer.end(), 0);
  const struct {
    Values v;
    std::string hex;
    size_t length;
  } kHeaders[] = {// "", 0: not compared
                  {example, "31 B0 FE B0", 4},
                  {ten_zeros, "B7 87 FC", 3},
                  {Values(256, 1), "", 128},
                  {Values(256, 0xFFFFFFFEu), "", kMaxCountHeaderBytes},
                  {longer, "", 0}};
  for (const auto& k : kHeaders) {
    const Bytes h = Header(k.v);
    if (!k.hex.empty()) {
      EXPECT_EQ(testbytes::Hex(h.data(), h.size() - 1), k.hex);
    }
    if (k.length) {
      EXPECT_EQ(h.size() - 1, k.length);
    }
    if (k.length >= 128) {
      EXPECT_EQ(h.back(), 0) << "the byte after a header of whole bytes is cleared";
    }
    Values back(256, 99);
    EXPECT_EQ(FibonacciDecode2(h.data(), h.size() - 1, back.data(), 256), h.size() - 1) << h.size();
    EXPECT_EQ(back, Values(k.v.begin(), k.v.begin() + 256)) << h.size();
  }
  const Bytes length33 = {0xAB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // 10101011
  EXPECT_EQ(FibonacciDecode2(length33.data(), 7, Values(256).data(), 256), 0u);
}

// Random headers read back, and every cut of them is refused.
TEST(CountHeader, RandomCutAndGarbageHeaders) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    std::mt19937 rng(seed);
    Values v(256), back(256);
    for (auto& x : v) x = rng() % 4 == 0 ? 0 : rng() % 2 ? rng() % 70000 : rng() % 0xFFFFFFFFu;
    const Bytes h = Header(v);
    const unsigned int n = unsigned(h.size() - 1);
    ASSERT_TRUE(FibonacciDecode2(h.data(), n, back.data(), 256) == n && back == v)
        << "seed=" << seed;
    for (unsigned int cut = 0; cut < n; ++cut) {
      const Bytes part(h.begin(), h.begin() + cut);
      ASSERT_EQ(FibonacciDecode2(part.data(), cut, back.data(), 256), 0u) << seed << "/" << cut;
    }
  }
}

// Each stream (method byte, count header, range code less its first byte, the extent's last byte
// 0): the format's examples (none, one symbol the whole total, 0 0 0 1 255, a carry through a
// held-back byte); a stream longer than its plane; a header ending on a byte boundary (last byte
// 0110 0110).
TEST_F(ChannelStream, GoldenStreams) {
  Bytes every256(65536), each_once(256);  // no two zeros side by side
  for (size_t i = 0; i < 65536; ++i) every256[i] = uint8_t(i * 97), each_once[i % 256] = uint8_t(i);
  const struct {
    Bytes plane;
    const char* written;
    size_t extent;
  } kCases[] = {
      // "", 0: not compared
      {{0, 0, 0, 1, 255}, "00 31 B0 FE B0 34 BC 00 00", 10},
      {Bytes(10, 0), "00 B7 87 FC 00 00 00 00", 9},
      {Bytes(4, 0xFF), "00 C3 FE 68 00 00 00 00", 9},
      {{0x42}, "00 D6 13 61 BD 00 00 00 00", 10},
      {{}, "00 E3 00 00 00 00 00", 8},
      {{1, 0, 0, 2, 0x80, 0xFE, 0xFE, 1, 0xFE, 2, 0},
       "00 31 DF 5F AD AF D3 3C 53 00 4A 3A 00 00 00",
       16},
      {Cat(Bytes(40, 0), {1}), "01 03 00 00 00 66 C3 D4 D8 CC 70 00 00 00", 15},  // level 1
      {every256, "", 65990},  // 256 counts of 257: a 448-byte header and a 65,541-byte code
      {each_once, "", 0}};
  for (const auto& k : kCases) {
    const Bytes s = Pack(c, k.plane);
    if (*k.written) {
      EXPECT_EQ(testbytes::Hex(s.data(), s.size() - 1), k.written);
    }
    if (k.extent) {
      EXPECT_EQ(s.size(), k.extent) << "len=" << k.plane.size();
    }
    Bytes back(k.plane.size(), 0xCD);
    EXPECT_TRUE(s.back() == 0 && Unpack(s, s.size() - 1, &back) && back == k.plane)
        << k.plane.size();
  }
  EXPECT_EQ(Pack(c, each_once)[128], 0x66);
}

// Zero-run coding must save n / 1000 bytes at level 1, and never less than 16.
TEST_F(ChannelStream, MinSavingGrowsWithThePlane) {
  const auto plane = [](size_t n, size_t s) {  // one run saving s bytes at level 1
    Bytes p(n, 9);
    std::fill_n(p.begin() + 100, s + 2, 0);
    return p;
  };
  const struct {
    Bytes plane;
    int method;
  } kCases[] = {{Cat(Bytes(18, 0), {1}), 1}, {Cat(Bytes(17, 0), {1}), 0}, {plane(1000, 16), 1},
                {plane(1000, 15), 0},        {plane(16999, 16), 1},       {plane(17000, 16), 0},
                {plane(17000, 17), 1},       {plane(40000, 39), 0},       {plane(40000, 40), 1}};
  for (const auto& k : kCases) EXPECT_EQ(Pack(c, k.plane)[0], k.method) << "len=" << k.plane.size();
}

// Every kind of plane at many lengths, to the largest a stream codes (2^23: range >> 23 can be 1),
// the table's edge cases (deficit to symbol 0; none below 128; 128 / 100 just below 1.28f): within
// the bound, nothing past the extent, back, and the hash recorded when each matched a plain coder.
TEST_F(ChannelStream, EveryKindOfPlaneByHashAndBack) {
  std::vector<Bytes> planes = {{0, 255, 255},
                               Bytes(100, 200),
                               {130, 130, 130, 140, 140, 140, 250},
                               Cat(Cat(Bytes(50, 0), Bytes(49, 1)), {2})};
  for (uint32_t seed = 0; seed < 700; ++seed) {
    const size_t n = seed < 300        ? 1 + seed
                     : seed % 50 == 49 ? 1 + seed * 997 % 400000
                                       : 1 + seed * 13 % 2000;
    planes.push_back(testdata::Plane(testdata::KindAt(int(seed % testdata::kKinds)), n, seed));
  }
  planes.push_back(
      testdata::Plane(testdata::Kind::kFewValues, kMaxChannelBytes, 7));  // method 0, shift 23
  int methods[4] = {};
  uint64_t all = 0;
  for (size_t i = 0; i < planes.size(); ++i) {
    const uint32_t n = uint32_t(planes[i].size());
    Bytes out(MaxChannelStreamBytes(n) + 64, 0xCD), back(n, 0xCD);
    const unsigned int extent = c.compact(planes[i].data(), out.data(), n);
    ASSERT_LE(extent, MaxChannelStreamBytes(n)) << "plane " << i << " len=" << n;
    ASSERT_EQ(std::count(out.begin() + extent, out.end(), 0xCD), long(out.size() - extent))
        << "plane " << i;
    all = testbytes::Fnv(Bytes(out.begin(), out.begin() + extent), all);
    ++methods[out[0]];
    ASSERT_TRUE(Unpack(out, extent - 1, &back) && back == planes[i]) << "plane " << i;
  }
  for (int m = 0; m < 4; ++m) EXPECT_GT(methods[m], 10) << "method " << m;
  EXPECT_EQ(all, 0x102ccf409df43b84ull) << "the streams";
}

// A run buffer too small for the zero runs makes method 0, and refuses a stream that has them.
TEST(ChannelStreamBuffers, RunBufferSizes) {
  Bytes plane = Cat(Bytes(1000, 0), Bytes(40, 3)), back(1040);
  Compress small, big;
  small.InitCompressBuffers(20), big.InitCompressBuffers(4096);
  const Bytes a = Pack(small, plane), b = Pack(big, plane);
  EXPECT_EQ(std::make_pair(a[0], b[0]), std::make_pair(uint8_t(0), uint8_t(1)));
  EXPECT_TRUE(small.uncompact(a.data(), a.size(), back.data(), 1040) && back == plane);
  EXPECT_FALSE(small.uncompact(b.data(), b.size(), back.data(), 1040));
}

TEST_F(ChannelStream, RejectsDamagedStreams) {
  const Bytes plane = Cat(Bytes(300, 0), {7, 7, 0, 1}), m0 = Pack(c, {0, 0, 0, 1, 255}),
              s = Pack(c, plane);
  ASSERT_EQ(s[0], 1);
  Values big(256, 0);
  big[0] = (1u << 23) + 1;  // a count total above what one stream codes
  const struct {
    Bytes stream;
    size_t length, at = 0;
    Bytes patch = {};
  } kCases[] = {// patch at `at`
                {s, plane.size(), 0, {4}},
                {s, plane.size(), 0, {255}},               // methods 4 and 255
                {s, plane.size(), 1, {0xFF, 0xFF, 0, 0}},  // run length above 1.5 n + 3
                {s, plane.size(), 1, {0xFF, 0xFF, 0xFF, 0xFF}},
                {s, plane.size() - 1},
                {s, plane.size() + 1},  // the runs one byte longer, shorter than the plane
                {m0, 6},
                {m0, 4},
                {m0, 0},  // counts for 5 bytes
                {Cat(Cat({0}, Header(big)), Bytes(8, 0)), big[0]}};
  for (size_t i = 0; i < std::size(kCases); ++i) {
    Bytes back(kCases[i].length), stream = kCases[i].stream;
    for (size_t j = 0; j < kCases[i].patch.size(); ++j)
      stream[kCases[i].at + j] = kCases[i].patch[j];
    EXPECT_FALSE(Unpack(stream, stream.size(), &back)) << "case " << i;
  }
}

// Every cut fails, or (only when no more than the last few code bytes are missing) decodes
// exactly; bit flips give false or some plane, never a read past the exact-size input (ASan).
TEST_F(ChannelStream, CutsAndBitFlips) {
  for (uint32_t seed = 1; seed <= 120; ++seed) {
    std::mt19937 rng(seed);
    const size_t n = 1 + rng() % 700;
    const Bytes plane = testdata::Plane(testdata::KindAt(int(seed % testdata::kKinds)), n, seed),
                s = Pack(c, plane);
    Bytes back(n);
    for (size_t cut = 0; seed <= 70 && cut + 1 < s.size(); ++cut) {
      const Bytes part(s.begin(), s.begin() + long(cut));
      ASSERT_TRUE(!Unpack(part, cut, &back) || (cut + 9 >= s.size() && back == plane))
          << seed << "/" << cut;
    }
    for (int flip = 0; flip < 60; ++flip) {
      Bytes bad(s.begin(), s.end() - 1);
      for (int f = 1 + int(rng() % 3); f > 0; --f)
        bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
      (void)Unpack(bad, bad.size(), &back);
    }
  }
}

}  // namespace
