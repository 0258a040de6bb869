// Channel streams, with the probability table and the range coder inside them: golden
// streams, the zero-run choice, every stream against a plain reference form kept here
// (the table by the format's steps, the range coder with a held-back byte), round trips,
// the proven bound, and the checked unpacker on damaged streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
using testdata::Kind;

// The cumulative table: counts scaled by T / length in single precision and truncated;
// the missing units go round symbols 0 to 127 that occur (all 256 when none of those
// does), one at a time from symbol 0. Returns the shift.
uint32_t ReferenceTable(const uint8_t* data, uint32_t n, uint32_t* prob) {
  uint32_t counts[256] = {}, total = 1, shift = 0, sum = 0;
  for (uint32_t i = 0; i < n; ++i) ++counts[data[i]];
  while (total < n) total <<= 1, ++shift;
  const float factor = float(total) / float(n);
  bool low_half = false;
  for (int s = 0; s < 256; ++s) {
    sum += prob[s + 1] = uint32_t(double(counts[s]) * double(factor));
    low_half = low_half || (s < 128 && counts[s] != 0);
  }
  for (uint32_t i = 0, deficit = total - sum; deficit > 0; i = (i + 1) & (low_half ? 127 : 255))
    if (prob[i + 1] != 0) ++prob[i + 1], --deficit;
  prob[0] = 0;
  for (int s = 1; s <= 256; ++s) prob[s] += prob[s - 1];
  return shift;
}

// The range coder with a held-back byte and a count of pending 0xFF bytes.
Bytes ReferenceCode(const uint8_t* in, uint32_t n) {
  uint32_t p[257], low = 0, range = 0x80000000u, cache = 0, pending = 0;
  const uint32_t shift = n ? ReferenceTable(in, n, p) : 0;
  Bytes out;
  const auto emit = [&](uint32_t first, uint8_t rest) {
    out.push_back(uint8_t(first));
    out.insert(out.end(), pending, rest);
    pending = 0;
  };
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t s = in[i], r = range >> shift;
    low += r * p[s];
    range = s < 255 ? r * (p[s + 1] - p[s]) : range - r * p[255];
    for (; range <= 0x800000u; range <<= 8, low = (low << 8) & 0x7FFFFF00u) {
      if (low <= 0x7F7FFFFFu) emit(cache, 0xFF), cache = low >> 23;
      else if (low >= 0x80000000u) emit(cache + 1, 0x00), cache = low >> 23;
      else ++pending;
    }
  }
  const uint32_t top = low >> 23;
  emit(top > 0xFF ? cache + 1 : cache, top > 0xFF ? 0x00 : 0xFF);
  for (uint32_t v : {top, low >> 15, low >> 7, low << 1}) out.push_back(uint8_t(v));
  return out;
}

// The whole stream: method byte (and run length), count header, range code without its
// first byte, and the extent's last byte, 0.
Bytes ReferenceStream(const Bytes& plane) {
  const int n = int(plane.size());
  const int level = zero::testRLE(plane.data(), n, std::max(16, n / 1000));
  Bytes coded(plane.size() * 3 / 2 + 4);
  coded.resize(size_t(zero::RLE(plane.data(), coded.data(), n, level)));
  const Bytes& data = level ? coded : plane;
  uint32_t counts[256] = {};
  for (uint8_t b : data) ++counts[b];
  Bytes s = {uint8_t(level)};
  if (level) s.insert(s.end(), {uint8_t(data.size()), uint8_t(data.size() >> 8), uint8_t(data.size() >> 16), uint8_t(data.size() >> 24)});
  Bytes header(kMaxCountHeaderBytes + 1);
  header.resize(FibonacciEncode2(counts, header.data(), 256));
  const Bytes code = ReferenceCode(data.data(), uint32_t(data.size()));
  return Cat(Cat(Cat(s, header), Bytes(code.begin() + 1, code.end())), {0});
}

// Packs into a buffer of exactly MaxChannelStreamBytes, filled with garbage, and returns
// the extent.
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
  bool Unpack(const Bytes& s, size_t len, Bytes* plane) { return c.uncompact(s.data(), len, plane->data(), uint32_t(plane->size())); }
  Compress c;
};

TEST_F(ChannelStream, GoldenStreams) {
  Bytes every_value_256_times(65536);  // no two zeros side by side
  for (size_t i = 0; i < every_value_256_times.size(); ++i) every_value_256_times[i] = uint8_t(i * 97);
  Bytes each_once(256);
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
      {"one byte", {0x42}, "00 D6 13 61 BD 00 00 00 00", 10},
      {"no bytes", {}, "00 E3 00 00 00 00 00", 8},
      {"carry through a held-back byte", {1, 0, 0, 2, 0x80, 0xFE, 0xFE, 1, 0xFE, 2, 0},
       "00 31 DF 5F AD AF D3 3C 53 00 4A 3A 00 00 00", 16},
      {"40 zeros and 1: level 1", Cat(Bytes(40, 0), {1}), "01 03 00 00 00 66 C3 D4 D8 CC 70 00 00 00", 15},
      {"key frame plane 0", {246, 0, 0, 0, 0, 255, 111, 0}, "00 3B 5D CD 86 19 BB 0C C4 A7 68 00 00", 14},
      {"key frame plane 1", {20, 2, 3, 0, 1, 2, 75, 0}, "00 76 76 C6 0D CE CD 86 D0 D1 14 C0 00 00 00", 16},
      {"key frame plane 2", {10, 3, 2, 0, 0, 255, 192, 0}, "00 33 D9 B3 9B 0D AB 73 F3 00 B1 91 70 00 00 00", 17},
      // 256 counts of 257 (14 bits each): a 448-byte header; a range code of 65,541 bytes.
      {"longer than its plane", every_value_256_times, "", 65990},
      // Counts 1 (0110) x 256 end on a byte boundary; the code's dropped first byte falls on
      // the header's last byte, which is put back.
      {"header ending on a byte boundary", each_once, "", 0},
  };
  for (const auto& k : kCases) {
    const Bytes s = Pack(c, k.plane);
    if (*k.written) { EXPECT_EQ(Hex(s.data(), s.size() - 1), k.written) << k.name; }
    if (k.extent) { EXPECT_EQ(s.size(), k.extent) << k.name; }
    EXPECT_EQ(s, ReferenceStream(k.plane)) << k.name;
    Bytes back(k.plane.size(), 0xCD);
    EXPECT_TRUE(Unpack(s, s.size() - 1, &back)) << k.name;
    EXPECT_EQ(back, k.plane) << k.name;
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
                {plane(1000, 15), 0},       {plane(16999, 16), 1},      {plane(17000, 16), 0},
                {plane(17000, 17), 1},      {plane(40000, 39), 0},      {plane(40000, 40), 1}};
  for (const auto& k : kCases) EXPECT_EQ(Pack(c, k.plane)[0], k.method) << "len=" << k.plane.size();
}

// Every kind of plane at many lengths, up to the largest a stream can code (2^23, where
// r = range >> 23 can be 1): the stream is the reference stream byte for byte, within the
// bound, nothing written past its extent, and it unpacks to the plane.
TEST_F(ChannelStream, MatchesThePlainFormsAndRoundTrips) {
  std::vector<Bytes> planes = {Bytes(100, 200), {130, 130, 130, 140, 140, 140, 250}, {0, 255, 255}};
  Bytes factor_below(50, 0);  // 128 / 100 in single precision is just below 1.28
  factor_below.insert(factor_below.end(), 49, 1), factor_below.push_back(2);
  planes.push_back(factor_below);
  for (uint32_t seed = 0; seed < 700; ++seed) {
    const size_t n = seed < 300 ? 1 + seed : seed % 50 == 49 ? 1 + seed * 997 % 400000 : 1 + seed * 13 % 2000;
    planes.push_back(testdata::Plane(testdata::KindAt(int(seed % testdata::kKinds)), n, seed));
  }
  planes.push_back(testdata::Plane(Kind::kFewValues, kMaxChannelBytes, 7));  // method 0, shift 23
  int methods[4] = {};
  for (size_t i = 0; i < planes.size(); ++i) {
    const Bytes& plane = planes[i];
    const uint32_t n = uint32_t(plane.size());
    Bytes out(MaxChannelStreamBytes(n) + 64, 0xCD);
    const unsigned int extent = c.compact(plane.data(), out.data(), n);
    ASSERT_LE(extent, MaxChannelStreamBytes(n)) << "plane " << i << " len=" << n;
    ASSERT_EQ(std::count(out.begin() + extent, out.end(), 0xCD), long(out.size() - extent)) << "plane " << i;
    out.resize(extent);
    ASSERT_EQ(out, ReferenceStream(plane)) << "plane " << i << " len=" << n;
    ++methods[out[0]];
    Bytes back(n, 0xCD);
    ASSERT_TRUE(Unpack(out, extent - 1, &back)) << "plane " << i;
    ASSERT_EQ(back, plane) << "plane " << i;
  }
  for (int m = 0; m < 4; ++m) EXPECT_GT(methods[m], 10) << "method " << m;
}

TEST(ChannelStreamBuffers, RunBufferSizes) {
  const Bytes plane = Cat(Bytes(1000, 0), Bytes(40, 3));
  Compress small, big, reader;
  small.InitCompressBuffers(8);  // too small for the zero-run form: method 0
  big.InitCompressBuffers(4096);
  reader.InitCompressBuffers(20);
  Bytes out(MaxChannelStreamBytes(1040)), back(1040);
  const unsigned int extent = small.compact(plane.data(), out.data(), 1040);
  EXPECT_EQ(out[0], 0);
  EXPECT_TRUE(reader.uncompact(out.data(), extent, back.data(), 1040));
  EXPECT_EQ(back, plane);
  const unsigned int extent1 = big.compact(plane.data(), out.data(), 1040);
  ASSERT_EQ(out[0], 1);
  EXPECT_FALSE(reader.uncompact(out.data(), extent1, back.data(), 1040)) << "run length above the reader's buffer";
  EXPECT_TRUE(big.uncompact(out.data(), extent1, back.data(), 1040));
}

TEST_F(ChannelStream, RejectsDamagedHeaders) {
  const Bytes plane = Cat(Bytes(300, 0), {7, 7, 0, 1}), m0 = Pack(c, {0, 0, 0, 1, 255});
  const Bytes s = Pack(c, plane);
  ASSERT_EQ(s[0], 1);
  const auto with = [&](std::vector<std::pair<size_t, uint8_t>> changes) {
    Bytes b = s;
    for (auto [at, v] : changes) b[at] = v;
    return b;
  };
  const unsigned int big = (1u << 23) + 1;  // a count total above what one stream codes
  Bytes too_many(kMaxCountHeaderBytes + 16, 0);
  too_many.resize(1 + FibonacciEncode2(&big, too_many.data() + 1, 1) + 8);
  const struct {
    const char* name;
    Bytes stream;
    size_t length;
  } kCases[] = {
      {"method 4", with({{0, 4}}), plane.size()},
      {"method 255", with({{0, 255}}), plane.size()},
      {"run length above 1.5 n + 3", with({{1, 0xFF}, {2, 0xFF}, {3, 0}, {4, 0}}), plane.size()},
      {"run length 2^32 - 1", with({{1, 0xFF}, {2, 0xFF}, {3, 0xFF}, {4, 0xFF}}), plane.size()},
      {"runs one byte longer than the plane", s, plane.size() - 1},
      {"runs one byte shorter than the plane", s, plane.size() + 1},
      {"counts for 5, plane of 6", m0, 6},
      {"counts for 5, plane of 4", m0, 4},
      {"counts for 5, plane of 0", m0, 0},
      {"count total 2^23 + 1", too_many, big},
  };
  for (const auto& k : kCases) {
    Bytes back(k.length);
    EXPECT_FALSE(c.uncompact(k.stream.data(), k.stream.size(), back.data(), uint32_t(k.length))) << k.name;
  }
}

// Every cut of the written bytes fails, or (only when no more than the last few code bytes
// are missing) decodes exactly; bit flips give false or some plane, never a fault. Each
// input is an exact-size heap block, so ASan catches a read past it.
TEST_F(ChannelStream, CutsAndBitFlips) {
  for (uint32_t seed = 1; seed <= 120; ++seed) {
    std::mt19937 rng(seed);
    const size_t n = 1 + rng() % 700;
    const Bytes plane = testdata::Plane(testdata::KindAt(int(seed % testdata::kKinds)), n, seed);
    const Bytes s = Pack(c, plane);
    const size_t written = s.size() - 1;
    Bytes back(n);
    for (size_t cut = 0; seed <= 70 && cut < written; ++cut) {
      const Bytes part(s.begin(), s.begin() + long(cut));
      if (Unpack(part, part.size(), &back)) {
        ASSERT_GE(cut + 8, written) << "len=" << n << " seed=" << seed << " cut=" << cut;
        ASSERT_EQ(back, plane) << "len=" << n << " seed=" << seed << " cut=" << cut;
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
