// Channel streams and what is inside them: the Fibonacci-coded count header, the table
// built from the counts, the range code. Golden headers and streams; every stream against a
// plain form kept here (the table by the format's steps, the range coder with a held-back
// byte); the zero-run choice; the checked readers on cut, damaged and random bytes.
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
using testbytes::Hex;
using Values = std::vector<unsigned int>;

Bytes Header(const Values& v) {  // and the one byte after it, which it may clear
  Bytes out(2 * kMaxCountHeaderBytes + 1, 0xAB);
  out.resize(FibonacciEncode2(v.data(), out.data(), unsigned(v.size())) + 1);
  return out;
}

// The range code of data: counts scaled by T / length in single precision and truncated;
// the missing units one at a time to the occurring symbols among 0 to 127 (all 256 when
// none of those occurs) from symbol 0; then the coder with a held-back byte and a count of
// pending 0xFF bytes.
Bytes PlainRangeCode(const Bytes& data) {
  uint32_t counts[256] = {}, p[257] = {}, total = 1, shift = 0, sum = 0;
  for (uint8_t b : data) ++counts[b];
  while (total < data.size()) total <<= 1, ++shift;
  const float factor = float(total) / float(data.size());
  bool low_half = false;
  for (int s = 0; s < 256; ++s) {
    sum += p[s + 1] = uint32_t(double(counts[s]) * double(factor));
    low_half = low_half || (s < 128 && counts[s] != 0);
  }
  for (uint32_t i = 0, deficit = data.empty() ? 0 : total - sum; deficit > 0; i = (i + 1) & (low_half ? 127 : 255))
    if (p[i + 1] != 0) ++p[i + 1], --deficit;
  for (int s = 1; s <= 256; ++s) p[s] += p[s - 1];
  uint32_t low = 0, range = 0x80000000u, cache = 0, pending = 0;
  Bytes out;
  const auto emit = [&](uint32_t first, uint8_t rest) {
    out.push_back(uint8_t(first));
    out.insert(out.end(), pending, rest);
    pending = 0;
  };
  for (const uint32_t s : data) {
    const uint32_t r = range >> shift;
    low += r * p[s];
    range = s < 255 ? r * (p[s + 1] - p[s]) : range - r * p[255];
    for (; range <= 0x800000u; range <<= 8, low = (low << 8) & 0x7FFFFF00u) {
      if (low <= 0x7F7FFFFFu)
        emit(cache, 0xFF), cache = low >> 23;
      else if (low >= 0x80000000u)
        emit(cache + 1, 0x00), cache = low >> 23;
      else
        ++pending;
    }
  }
  const uint32_t top = low >> 23;
  emit(top > 0xFF ? cache + 1 : cache, top > 0xFF ? 0x00 : 0xFF);
  for (uint32_t v : {top, low >> 15, low >> 7, low << 1}) out.push_back(uint8_t(v));
  return out;
}

// The stream: method byte (and run length), count header, range code without its first
// byte, and the extent's last byte, 0.
Bytes PlainStream(const Bytes& plane) {
  const int n = int(plane.size()), level = zero::testRLE(plane.data(), n, std::max(16, n / 1000));
  Bytes coded(plane.size() * 3 / 2 + 4);
  coded.resize(size_t(zero::RLE(plane.data(), coded.data(), n, level)));
  const Bytes& data = level ? coded : plane;
  Values counts(256);
  for (uint8_t b : data) ++counts[b];
  Bytes s = {uint8_t(level)}, header = Header(counts), code = PlainRangeCode(data);
  for (int i = 0; level && i < 4; ++i) s.push_back(uint8_t(coded.size() >> (8 * i)));
  return Cat(Cat(Cat(s, Bytes(header.begin(), header.end() - 1)), Bytes(code.begin() + 1, code.end())), {0});
}

// Packs into a buffer of exactly MaxChannelStreamBytes, filled with garbage; the extent.
Bytes Pack(Compress& c, const Bytes& plane) {
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

// A count N - 1 starts with the number N; the number 2^(L-1) with the code of length L.
TEST(CountHeader, GoldenNumbersAndHeaders) {
  const struct {
    uint32_t n;
    const char* bits;
  } kNumbers[] = {{1, "11"},
                  {2, "0110"}, {3, "0111"}, {4, "001100"}, {5, "001101"}, {7, "001111"}, {8, "1011000"},
                  {100, "01011100100"}, {1u << 2, "0011"}, {1u << 4, "00011"}, {1u << 7, "000011"},
                  {1u << 20, "00000011"},
                  {1u << 31, "00101011"}};
  for (const auto& k : kNumbers) {
    Values v(256, 5);
    v[0] = k.n - 1;
    const Bytes h = Header(v);
    std::string bits;
    for (size_t i = 0; i < std::strlen(k.bits); ++i) bits += (h[i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
    EXPECT_EQ(bits, k.bits) << "N=" << k.n;
  }
  Values example(256, 0), ten_zeros(256, 0), longer(600, 3);
  example[0] = 3, example[1] = 1, example[255] = 1;  // the data 0, 0, 0, 1, 255
  ten_zeros[0] = 10;
  std::fill(longer.begin() + 250, longer.end(), 0);  // a zero run past 256 values: cut at 255
  const struct {
    Values v;
    std::string hex;  // "": not compared
    size_t length;
    bool whole_bytes;  // then the byte after it is cleared
  } kHeaders[] = {{example, "31 B0 FE B0", 4, false},
                  {ten_zeros, "B7 87 FC", 3, false}, {Values(256, 1), "", 128, true},
                  {Values(256, 0xFFFFFFFEu), "", kMaxCountHeaderBytes, true},
                  {longer, "", 0, false}};
  for (const auto& k : kHeaders) {
    const Bytes h = Header(k.v);
    if (k.length) { EXPECT_EQ(h.size() - 1, k.length) << k.hex; }
    if (!k.hex.empty()) { EXPECT_EQ(Hex(h.data(), h.size() - 1), k.hex); }
    if (k.whole_bytes) { EXPECT_EQ(h.back(), 0) << "the byte after " << k.length << " was not cleared"; }
    Values back(256, 99);
    EXPECT_EQ(FibonacciDecode2(h.data(), h.size() - 1, back.data(), 256), h.size() - 1) << h.size();
    EXPECT_EQ(back, Values(k.v.begin(), k.v.begin() + 256)) << h.size();
  }
  // The code of bit length 33 (10101011): refused, whatever follows.
  const Bytes length33 = {0xAB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  Values back(256);
  EXPECT_EQ(FibonacciDecode2(length33.data(), length33.size(), back.data(), 256), 0u);
}

// Random headers read back, every cut of them is refused, and garbage is never read past
// its end (exact-size copies, for ASan).
TEST(CountHeader, RandomCutAndGarbageHeaders) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    std::mt19937 rng(seed);
    Values v(256), back(256);
    for (auto& x : v) x = rng() % 4 == 0 ? 0 : rng() % 2 ? rng() % 70000 : rng() % 0xFFFFFFFFu;
    const Bytes h = Header(v);
    const unsigned int n = unsigned(h.size() - 1);
    ASSERT_EQ(FibonacciDecode2(h.data(), n, back.data(), 256), n) << "seed=" << seed;
    ASSERT_EQ(back, v) << "seed=" << seed;
    for (unsigned int cut = 0; cut < n; ++cut) {
      const Bytes part(h.begin(), h.begin() + cut);
      ASSERT_EQ(FibonacciDecode2(part.data(), part.size(), back.data(), 256), 0u) << "seed=" << seed << " cut=" << cut;
    }
    Bytes garbage(rng() % 64);
    for (auto& b : garbage) b = uint8_t(rng());
    EXPECT_LE(FibonacciDecode2(garbage.data(), garbage.size(), back.data(), 256), garbage.size()) << "seed=" << seed;
  }
}

TEST_F(ChannelStream, GoldenStreams) {
  Bytes every_value_256_times(65536), each_once(256);  // no two zeros side by side
  for (size_t i = 0; i < every_value_256_times.size(); ++i) every_value_256_times[i] = uint8_t(i * 97);
  for (int i = 0; i < 256; ++i) each_once[i] = uint8_t(i);
  const struct {
    const char* name;
    Bytes plane;
    const char* written;  // "": not compared
    size_t extent;
  } kCases[] = {
      {"worked example", {0, 0, 0, 1, 255}, "00 31 B0 FE B0 34 BC 00 00", 10},
      {"ten zeros", Bytes(10, 0), "00 B7 87 FC 00 00 00 00", 9},
      {"four FF: symbol 255 alone", Bytes(4, 0xFF), "00 C3 FE 68 00 00 00 00", 9},
      {"one byte", {0x42}, "00 D6 13 61 BD 00 00 00 00", 10}, {"no bytes", {}, "00 E3 00 00 00 00 00", 8},
      {"carry through a held-back byte",
       {1, 0, 0, 2, 0x80, 0xFE, 0xFE, 1, 0xFE, 2, 0},
       "00 31 DF 5F AD AF D3 3C 53 00 4A 3A 00 00 00",
       16},
      {"40 zeros and 1: level 1", Cat(Bytes(40, 0), {1}), "01 03 00 00 00 66 C3 D4 D8 CC 70 00 00 00", 15},
      // 256 counts of 257 (14 bits each): a 448-byte header; a range code of 65,541 bytes.
      {"longer than its plane", every_value_256_times, "", 65990},
      // Counts of 1 end on a byte boundary; the code's dropped first byte falls on the
      // header's last byte (0110 0110), which is put back.
      {"header ending on a byte boundary", each_once, "", 0},
  };
  for (const auto& k : kCases) {
    const Bytes s = Pack(c, k.plane);
    if (*k.written) { EXPECT_EQ(Hex(s.data(), s.size() - 1), k.written) << k.name; }
    if (k.extent) { EXPECT_EQ(s.size(), k.extent) << k.name; }
    EXPECT_EQ(s, PlainStream(k.plane)) << k.name;
    Bytes back(k.plane.size(), 0xCD);
    EXPECT_TRUE(Unpack(s, s.size() - 1, &back) && back == k.plane) << k.name;
  }
  EXPECT_EQ(Pack(c, each_once)[128], 0x66);
}

// Zero-run coding must save n / 1000 bytes at level 1, and never less than 16.
TEST_F(ChannelStream, MinSavingGrowsWithThePlane) {
  const auto plane = [](size_t n, size_t saving) {  // one run saving `saving` at level 1
    Bytes p(n, 9);
    std::fill(p.begin() + 100, p.begin() + 100 + long(saving) + 2, 0);
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

// Every kind of plane at many lengths, up to the largest a stream can code (2^23, where
// r = range >> 23 can be 1) and for the table's edge cases: the plain stream byte for byte,
// within the bound, nothing written past its extent, and back to the plane.
TEST_F(ChannelStream, MatchesThePlainFormsAndRoundTrips) {
  std::vector<Bytes> planes = {Bytes(100, 200), {130, 130, 130, 140, 140, 140, 250}, {0, 255, 255}};
  planes.push_back(Cat(Cat(Bytes(50, 0), Bytes(49, 1)), {2}));  // 128 / 100 in single precision is below 1.28
  for (uint32_t seed = 0; seed < 700; ++seed) {
    const size_t n = seed < 300 ? 1 + seed : seed % 50 == 49 ? 1 + seed * 997 % 400000 : 1 + seed * 13 % 2000;
    planes.push_back(testdata::Plane(testdata::KindAt(int(seed % testdata::kKinds)), n, seed));
  }
  planes.push_back(testdata::Plane(testdata::Kind::kFewValues, kMaxChannelBytes, 7));  // method 0, shift 23
  int methods[4] = {};
  for (size_t i = 0; i < planes.size(); ++i) {
    const Bytes& plane = planes[i];
    const uint32_t n = uint32_t(plane.size());
    Bytes out(MaxChannelStreamBytes(n) + 64, 0xCD);
    const unsigned int extent = c.compact(plane.data(), out.data(), n);
    ASSERT_LE(extent, MaxChannelStreamBytes(n)) << "plane " << i << " len=" << n;
    ASSERT_EQ(std::count(out.begin() + extent, out.end(), 0xCD), long(out.size() - extent)) << "plane " << i;
    out.resize(extent);
    ASSERT_EQ(out, PlainStream(plane)) << "plane " << i << " len=" << n;
    ++methods[out[0]];
    Bytes back(n, 0xCD);
    ASSERT_TRUE(Unpack(out, extent - 1, &back) && back == plane) << "plane " << i;
  }
  for (int m = 0; m < 4; ++m) EXPECT_GT(methods[m], 10) << "method " << m;
}

// A run buffer too small for the zero-run form makes method 0; a reader whose run buffer
// is too small for the stream's run length refuses it.
TEST(ChannelStreamBuffers, RunBufferSizes) {
  const Bytes plane = Cat(Bytes(1000, 0), Bytes(40, 3));
  Compress small, big;
  small.InitCompressBuffers(20);
  big.InitCompressBuffers(4096);
  Bytes a(MaxChannelStreamBytes(1040)), b = a, back(1040);
  const unsigned int ea = small.compact(plane.data(), a.data(), 1040), eb = big.compact(plane.data(), b.data(), 1040);
  EXPECT_EQ(std::make_pair(a[0], b[0]), std::make_pair(uint8_t(0), uint8_t(1)));
  EXPECT_TRUE(small.uncompact(a.data(), ea, back.data(), 1040) && back == plane);
  EXPECT_FALSE(small.uncompact(b.data(), eb, back.data(), 1040));
}

TEST_F(ChannelStream, RejectsDamagedStreams) {
  const Bytes plane = Cat(Bytes(300, 0), {7, 7, 0, 1}), m0 = Pack(c, {0, 0, 0, 1, 255}), s = Pack(c, plane);
  ASSERT_EQ(s[0], 1);
  const auto with = [&](std::vector<std::pair<size_t, uint8_t>> changes) {
    Bytes b = s;
    for (auto [at, v] : changes) b[at] = v;
    return b;
  };
  Values big(256, 0);
  big[0] = (1u << 23) + 1;  // a count total above what one stream codes
  const Bytes too_many = Cat(Cat({0}, Header(big)), Bytes(8, 0));
  const struct {
    const char* name;
    Bytes stream;
    size_t length;
  } kCases[] = {
      {"method 4", with({{0, 4}}), plane.size()}, {"method 255", with({{0, 255}}), plane.size()},
      {"run length above 1.5 n + 3", with({{1, 0xFF}, {2, 0xFF}, {3, 0}, {4, 0}}), plane.size()},
      {"run length 2^32 - 1", with({{1, 0xFF}, {2, 0xFF}, {3, 0xFF}, {4, 0xFF}}), plane.size()},
      {"runs one byte longer than the plane", s, plane.size() - 1},
      {"runs one byte shorter than the plane", s, plane.size() + 1}, {"counts for 5, plane of 6", m0, 6},
      {"counts for 5, plane of 4", m0, 4}, {"counts for 5, plane of 0", m0, 0},
      {"count total 2^23 + 1", too_many, big[0]},
  };
  for (const auto& k : kCases) {
    Bytes back(k.length);
    EXPECT_FALSE(Unpack(k.stream, k.stream.size(), &back)) << k.name;
  }
}

// Every cut of the written bytes fails, or (only when no more than the last few code bytes
// are missing) decodes exactly; bit flips give false or some plane, never a fault. Each
// input is an exact-size heap block, so ASan catches a read past it.
TEST_F(ChannelStream, CutsAndBitFlips) {
  for (uint32_t seed = 1; seed <= 120; ++seed) {
    std::mt19937 rng(seed);
    const size_t n = 1 + rng() % 700;
    const Bytes plane = testdata::Plane(testdata::KindAt(int(seed % testdata::kKinds)), n, seed), s = Pack(c, plane);
    Bytes back(n);
    for (size_t cut = 0; seed <= 70 && cut + 1 < s.size(); ++cut) {
      const Bytes part(s.begin(), s.begin() + long(cut));
      if (Unpack(part, part.size(), &back)) {
        ASSERT_TRUE(cut + 9 >= s.size() && back == plane) << "len=" << n << " seed=" << seed << " cut=" << cut;
      }
    }
    for (int flip = 0; flip < 60; ++flip) {
      Bytes bad(s.begin(), s.end() - 1);
      for (int f = 1 + int(rng() % 3); f > 0; --f) bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
      (void)Unpack(bad, bad.size(), &back);
    }
  }
}

}  // namespace
