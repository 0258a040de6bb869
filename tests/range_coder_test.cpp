// The range coder: golden codes, carries, and encode -> decode round trips.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "tests/support/bytes.h"

namespace {

using testbytes::Bytes;
using testbytes::Hex;

// Builds the table from the data itself, codes it, and returns the code.
Bytes EncodeWithOwnTable(Compress& c, const Bytes& data) {
  const unsigned char none = 0;
  const unsigned char* in = data.empty() ? &none : data.data();  // never a null pointer
  c.calcprob(in, static_cast<unsigned int>(data.size()));
  Bytes out(data.size() + data.size() / 8 + 64);
  const unsigned int m = c.encode(in, out.data(), static_cast<unsigned int>(data.size()));
  out.resize(m);
  return out;
}

class RangeCoder : public ::testing::Test {
 protected:
  void SetUp() override { c.InitCompressBuffers(16); }
  Compress c;
};

TEST_F(RangeCoder, GoldenCodesAndTheirDecoding) {
  const struct {
    const char* name;
    Bytes in;
    const char* code;
  } kCases[] = {
      {"no_input", {}, "00 00 00 00 00"},
      {"ten_zeros", Bytes(10, 0), "00 00 00 00 00"},
      {"four_ff", Bytes(4, 0xFF), "00 00 00 00 00"},
      {"one_byte", Bytes(1, 0x42), "00 00 00 00 00"},
      {"worked_example", {0, 0, 0, 1, 255}, "00 34 BC 00 00"},
      {"carry_through_held_byte",
       {0x01, 0x00, 0x00, 0x02, 0x80, 0xFE, 0xFE, 0x01, 0xFE, 0x02, 0x00},
       "00 53 00 4A 3A 00 00 00"},
  };
  for (const auto& k : kCases) {
    const Bytes code = EncodeWithOwnTable(c, k.in);
    EXPECT_EQ(Hex(code), k.code) << "case=" << k.name;
    if (k.in.empty()) continue;
    Bytes back(k.in.size(), 0xCD);
    c.decode(code.data(), back.data(), static_cast<unsigned int>(back.size()));
    EXPECT_EQ(back, k.in) << "case=" << k.name;
  }
}

TEST_F(RangeCoder, CarryExampleTable) {
  const Bytes in = {0x01, 0x00, 0x00, 0x02, 0x80, 0xFE, 0xFE, 0x01, 0xFE, 0x02, 0x00};
  c.calcprob(in.data(), static_cast<unsigned int>(in.size()));
  EXPECT_EQ(c.shift, 4u);
  const uint32_t want[][2] = {{0, 5}, {1, 3}, {2, 3}, {128, 1}, {254, 4}};
  for (const auto& w : want) EXPECT_EQ(c.prob[w[0] + 1] - c.prob[w[0]], w[1]) << "s=" << w[0];
}

Bytes Generate(std::mt19937& rng, size_t n, int style) {
  Bytes d(n);
  switch (style) {
    case 0:  // noise
      for (auto& b : d) b = static_cast<unsigned char>(rng());
      break;
    case 1:  // mostly zero, residual-like
      for (auto& b : d) {
        const uint32_t x = rng() % 100;
        b = x < 80 ? 0 : x < 90 ? 1 : x < 95 ? 255 : static_cast<unsigned char>(rng());
      }
      break;
    case 2:  // values >= 128 only
      for (auto& b : d) b = static_cast<unsigned char>(128 + rng() % 128);
      break;
    case 3:  // a single value
      for (auto& b : d) b = 0xFF;
      break;
    case 4:  // two symbols, one of them 255 and rare
      for (auto& b : d) b = rng() % 50 == 0 ? 255 : 7;
      break;
    default:  // skewed: one common symbol plus rare others
      for (auto& b : d) b = rng() % 1000 == 0 ? static_cast<unsigned char>(rng()) : 3;
      break;
  }
  return d;
}

TEST_F(RangeCoder, RoundTrips) {
  for (uint32_t seed = 1; seed <= 600; ++seed) {
    std::mt19937 rng(seed);
    const size_t n = seed <= 500 ? 1 + rng() % 2000 : 1 + rng() % 300000;
    const int style = static_cast<int>(seed % 6);
    const Bytes in = Generate(rng, n, style);
    const Bytes code = EncodeWithOwnTable(c, in);
    ASSERT_EQ(code[0], 0) << "len=" << n << " seed=" << seed;
    Bytes back(n, 0xCD);
    c.decode(code.data(), back.data(), static_cast<unsigned int>(n));
    ASSERT_EQ(back, in) << "len=" << n << " seed=" << seed << " style=" << style;
  }
}

TEST_F(RangeCoder, LargestTotal) {
  // 2^23 bytes: T = 2^23, shift 23, r can be as small as 1.
  std::mt19937 rng(7);
  Bytes in(kMaxChannelBytes);
  for (auto& b : in) b = static_cast<unsigned char>(rng() % 3 == 0 ? rng() : 0);
  const Bytes code = EncodeWithOwnTable(c, in);
  EXPECT_EQ(c.shift, 23u);
  Bytes back(in.size());
  c.decode(code.data(), back.data(), static_cast<unsigned int>(back.size()));
  EXPECT_TRUE(back == in);
}

}  // namespace
