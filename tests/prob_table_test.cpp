// The count header: Fibonacci codes of numbers, golden headers, and the checked reader on
// random, cut and garbage headers. (The table built from it is checked inside every
// channel stream, channel_stream_test.)
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "tests/support/bytes.h"

namespace {

using testbytes::Bytes;
using testbytes::Hex;
using Values = std::vector<unsigned int>;

// The header's bits in writing order.
std::string Bits(const Bytes& b, size_t bits) {
  std::string s;
  for (size_t i = 0; i < bits; ++i) s += (b[i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
  return s;
}

Bytes Header(const Values& v) {
  Bytes out(2 * kMaxCountHeaderBytes + 1, 0xAB);
  out.resize(FibonacciEncode2(v.data(), out.data(), unsigned(v.size())) + 1);  // and the byte it may clear
  return out;
}

// The number N is the first thing written for a count N - 1; the code of a bit length L
// starts the number 2^(L-1).
TEST(CountHeader, FibonacciCodesOfNumbers) {
  const struct {
    uint32_t n;
    const char* bits;
  } kCases[] = {{1, "11"},       {2, "0110"},      {3, "0111"},      {4, "001100"},      {5, "001101"},
                {7, "001111"},   {8, "1011000"},   {100, "01011100100"}, {1u << 2, "0011"}, {1u << 4, "00011"},
                {1u << 7, "000011"}, {1u << 20, "00000011"}, {1u << 31, "00101011"}};
  for (const auto& k : kCases) {
    Values v(256, 5);
    v[0] = k.n - 1;
    if (k.n == 1) v[1] = 0;  // a lone zero: 11 11
    EXPECT_EQ(Bits(Header(v), std::strlen(k.bits)), k.bits) << "N=" << k.n;
  }
}

TEST(CountHeader, GoldenHeaders) {
  Values example(256, 0), ten_zeros(256, 0), ones(256, 1), longest(256, 0xFFFFFFFEu);
  example[0] = 3, example[1] = 1, example[255] = 1;  // the data 0, 0, 0, 1, 255
  ten_zeros[0] = 10;
  const struct {
    const char* name;
    Values v;
    std::string hex;  // "": not compared
    size_t length;
    bool whole_bytes;  // then the byte after it is cleared
  } kCases[] = {
      {"worked example", example, "31 B0 FE B0", 4, false},
      {"ten zeros", ten_zeros, "B7 87 FC", 3, false},
      {"counts of 1, 4 bits each", ones, "", 128, true},
      {"longest: 256 values of 39 bits", longest, "", kMaxCountHeaderBytes, true},
  };
  for (const auto& k : kCases) {
    const Bytes h = Header(k.v);
    ASSERT_EQ(h.size() - 1, k.length) << k.name;
    if (!k.hex.empty()) { EXPECT_EQ(Hex(h.data(), k.length), k.hex) << k.name; }
    if (k.whole_bytes) { EXPECT_EQ(h.back(), 0) << k.name << ": the byte after was not cleared"; }
    Values back(256, 99);
    EXPECT_EQ(FibonacciDecode2(h.data(), k.length, back.data(), 256), k.length) << k.name;
    EXPECT_EQ(back, k.v) << k.name;
  }
  EXPECT_EQ(Bits(Header(example), 29), "00110001101100001111111010110");
}

TEST(CountHeader, RunPastTheEndIsCut) {
  // 600 values whose zero run starts at 250: read as 256 values, the run is cut at 255 and
  // the whole header is still consumed.
  Values longer(600, 3);
  std::fill(longer.begin() + 250, longer.end(), 0);
  const Bytes h = Header(longer);
  Values back(256, 99);
  EXPECT_EQ(FibonacciDecode2(h.data(), h.size() - 1, back.data(), 256), h.size() - 1);
  EXPECT_EQ(back, Values(longer.begin(), longer.begin() + 256));
}

// Random headers read back, every cut of them is refused, and garbage is never read past
// its end (exact-size copies, for ASan).
TEST(CountHeader, RandomCutAndGarbageHeaders) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    std::mt19937 rng(seed);
    Values v(256);
    for (auto& x : v) {
      const uint32_t pick = rng() % 4;
      x = pick == 0 ? 0 : pick == 1 ? rng() % 4 : pick == 2 ? rng() % 70000 : rng() % 0xFFFFFFFFu;
    }
    const Bytes h = Header(v);
    const unsigned int n = unsigned(h.size() - 1);
    Values back(256);
    ASSERT_EQ(FibonacciDecode2(h.data(), n, back.data(), 256), n) << "seed=" << seed;
    ASSERT_EQ(back, v) << "seed=" << seed;
    for (unsigned int cut = 0; cut < n; ++cut) {
      const Bytes part(h.begin(), h.begin() + cut);
      ASSERT_EQ(FibonacciDecode2(part.data(), part.size(), back.data(), 256), 0u) << "seed=" << seed << " cut=" << cut;
    }
    for (int g = 0; g < 10; ++g) {
      Bytes garbage(rng() % 64);
      for (auto& b : garbage) b = uint8_t(rng());
      EXPECT_LE(FibonacciDecode2(garbage.data(), garbage.size(), back.data(), 256), garbage.size()) << "seed=" << seed;
    }
  }
}

}  // namespace
