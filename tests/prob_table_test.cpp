// The probability table and its Fibonacci-coded count header.
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

// The header's bits in writing order, as a string of '0' and '1'.
std::string Bits(const unsigned char* b, size_t bits) {
  std::string s;
  for (size_t i = 0; i < bits; ++i) s += ((b[i / 8] >> (7 - i % 8)) & 1) ? '1' : '0';
  return s;
}

// Writes one value N - 1 = v as the first of 256 counts whose rest are non-zero, and
// returns the bits of N: the header starts with v + 1.
std::string NumberBits(uint32_t number, size_t bits) {
  std::vector<unsigned int> values(256, 5);
  values[0] = number - 1;
  if (number == 1) values[1] = 0, values[0] = 0;
  unsigned char out[kMaxCountHeaderBytes + 1];
  FibonacciEncode2(values.data(), out, 256);
  return Bits(out, bits);
}

std::vector<uint32_t> Frequencies(const Compress& c) {
  std::vector<uint32_t> f(256);
  for (int s = 0; s < 256; ++s) f[s] = c.prob[s + 1] - c.prob[s];
  return f;
}

class ProbTable : public ::testing::Test {
 protected:
  void SetUp() override { c.InitCompressBuffers(16); }
  Compress c;
};

// The code of N; the code of a bit length L is the header's first bits for N = 2^(L-1).
TEST(FibonacciNumbers, Golden) {
  const struct {
    uint32_t n;
    const char* bits;
  } kCases[] = {{1, "11"},         {2, "0110"},        {3, "0111"},           {4, "001100"},
                {5, "001101"},     {7, "001111"},      {8, "1011000"},        {100, "01011100100"},
                {1u << 1, "011"},  {1u << 2, "0011"},  {1u << 3, "1011"},     {1u << 4, "00011"},
                {1u << 7, "000011"}, {1u << 20, "00000011"}, {1u << 31, "00101011"}};
  for (const auto& k : kCases) {
    EXPECT_EQ(NumberBits(k.n, std::strlen(k.bits)), k.bits) << "N=" << k.n;
  }
}

// Tables built from data: the shift, every frequency (symbols not listed have none), the
// count header where one is given, and a reader building the same table from the header.
TEST_F(ProbTable, GoldenTables) {
  const auto repeat = [](std::initializer_list<std::pair<int, int>> runs) {
    Bytes d;
    for (const auto& r : runs) d.insert(d.end(), size_t(r.second), uint8_t(r.first));
    return d;
  };
  Bytes five_values;
  for (int i = 0; i < 64; ++i) five_values.push_back(static_cast<unsigned char>(i % 5 * 40));
  const struct {
    const char* name;
    Bytes data;
    uint32_t shift;
    std::vector<std::pair<int, uint32_t>> freqs;
    const char* header;  // "" when not checked
  } kCases[] = {
      {"worked_example", {0, 0, 0, 1, 255}, 3, {{0, 5}, {1, 2}, {255, 1}}, "31 B0 FE B0"},
      {"ten_zeros", Bytes(10, 0), 4, {{0, 16}}, "B7 87 FC"},
      {"single_byte", {77}, 0, {{77, 1}}, ""},
      {"deficit_to_symbol_zero", {0, 255, 255}, 2, {{0, 2}, {255, 2}}, ""},
      // The factor 128/100 in single precision is just below 1.28, so 50 x 1.28 truncates
      // to 63, not 64: 63, 62, 1 and a deficit of 2 for symbols 0 and 1.
      {"factor_just_below", repeat({{0, 50}, {1, 49}, {2, 1}}), 7, {{0, 64}, {1, 63}, {2, 1}}, ""},
      // A power-of-two length keeps the counts.
      {"power_of_two_length", five_values, 6, {{0, 13}, {40, 13}, {80, 13}, {120, 13}, {160, 12}}, ""},
      // T = 128 and the truncated product 127. None of 0 to 127 occurs, so the one
      // missing unit goes to the first occurring symbol of all 256.
      {"only_high_symbols", Bytes(100, 200), 7, {{200, 128}}, ""},
      // Length 7, T = 8, factor 8/7: 3, 3, 1, deficit 1 -> 130.
      {"high_symbols_in_order", {130, 130, 130, 140, 140, 140, 250}, 3,
       {{130, 4}, {140, 3}, {250, 1}}, ""},
  };
  for (const auto& k : kCases) {
    c.calcprob(k.data.data(), static_cast<unsigned int>(k.data.size()));
    EXPECT_EQ(c.shift, k.shift) << "case=" << k.name;
    EXPECT_EQ(c.prob[0], 0u) << "case=" << k.name;
    EXPECT_EQ(c.prob[256], 1u << k.shift) << "case=" << k.name;
    std::vector<uint32_t> want(256, 0);
    for (const auto& f : k.freqs) want[size_t(f.first)] = f.second;
    EXPECT_EQ(Frequencies(c), want) << "case=" << k.name;

    unsigned char header[kMaxCountHeaderBytes + 1];
    const unsigned int n = FibonacciEncode2(c.counts.get(), header, 256);
    if (*k.header) {
      EXPECT_EQ(Hex(header, n), k.header) << "case=" << k.name;
    }
    if (std::string(k.name) == "worked_example") {
      EXPECT_EQ(Bits(header, 29), "00110001101100001111111010110");
    }
    Compress reader;
    reader.InitCompressBuffers(0);
    EXPECT_EQ(reader.readprob(header), n) << "case=" << k.name;
    for (int s = 0; s <= 256; ++s) ASSERT_EQ(reader.prob[s], c.prob[s]) << "case=" << k.name << " s=" << s;
  }
}

TEST(CountHeader, EndsOnByteBoundaryAndClearsNextByte) {
  // Counts 1 (0110), then 1 x 255 (0110 each) -> 256 x 4 bits = 128 whole bytes.
  std::vector<unsigned int> values(256, 1);
  std::vector<unsigned char> out(kMaxCountHeaderBytes + 1, 0xAB);
  const unsigned int n = FibonacciEncode2(values.data(), out.data(), 256);
  EXPECT_EQ(n, 128u);
  EXPECT_EQ(out[128], 0);
  EXPECT_EQ(out[129], 0xAB);
  std::vector<unsigned int> back(256, 99);
  EXPECT_EQ(FibonacciDecode2(out.data(), 128, back.data(), 256), 128u);
  EXPECT_EQ(back, values);
}

TEST(CountHeader, LongestHeader) {
  // 256 values with 32-bit N: 39 bits each, 1,248 bytes.
  std::vector<unsigned int> values(256, 0xFFFFFFFEu);
  std::vector<unsigned char> out(kMaxCountHeaderBytes + 1);
  EXPECT_EQ(FibonacciEncode2(values.data(), out.data(), 256), kMaxCountHeaderBytes);
  std::vector<unsigned int> back(256);
  EXPECT_EQ(FibonacciDecode2(out.data(), out.size() - 1, back.data(), 256), kMaxCountHeaderBytes);
  EXPECT_EQ(back, values);
}

TEST(CountHeader, RunPastTheEndIsCut) {
  // A header of 600 values whose zero run starts at index 250 and runs to the end: read
  // as 256 values, the run is cut at index 255 and the whole header is still consumed.
  std::vector<unsigned int> longer(600, 3);
  for (int s = 250; s < 600; ++s) longer[s] = 0;
  std::vector<unsigned char> out(2 * kMaxCountHeaderBytes);
  const unsigned int n = FibonacciEncode2(longer.data(), out.data(), 600);
  std::vector<unsigned int> back(256, 99);
  EXPECT_EQ(FibonacciDecode2(out.data(), n, back.data(), 256), n);
  std::vector<unsigned int> want(longer.begin(), longer.begin() + 256);
  EXPECT_EQ(back, want);
}

TEST(CountHeader, RandomRoundTripsAndTruncations) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned int> values(256);
    for (auto& v : values) {
      const uint32_t pick = rng() % 4;
      v = pick == 0 ? 0 : pick == 1 ? rng() % 4 : pick == 2 ? rng() % 70000 : rng();
      if (v == 0xFFFFFFFFu) v = 0;
    }
    std::vector<unsigned char> out(kMaxCountHeaderBytes + 1);
    const unsigned int n = FibonacciEncode2(values.data(), out.data(), 256);
    ASSERT_LE(n, kMaxCountHeaderBytes) << "seed=" << seed;
    std::vector<unsigned int> back(256);
    ASSERT_EQ(FibonacciDecode2(out.data(), n, back.data(), 256), n) << "seed=" << seed;
    ASSERT_EQ(back, values) << "seed=" << seed;
    ASSERT_EQ(FibonacciDecode2(out.data(), back.data(), 256), n) << "seed=" << seed;
    for (unsigned int cut = 0; cut < n; ++cut) {
      std::vector<unsigned char> part(out.begin(), out.begin() + cut);
      ASSERT_EQ(FibonacciDecode2(part.data(), part.size(), back.data(), 256), 0u)
          << "seed=" << seed << " cut=" << cut;
    }
  }
}

TEST(CountHeader, GarbageNeverReadsPastTheEnd) {
  for (uint32_t seed = 1; seed <= 2000; ++seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> in(rng() % 64);
    for (auto& b : in) b = static_cast<unsigned char>(rng());
    std::vector<unsigned int> back(256);
    const unsigned int used = FibonacciDecode2(in.data(), in.size(), back.data(), 256);
    EXPECT_LE(used, in.size()) << "seed=" << seed;
  }
}

TEST_F(ProbTable, RandomTablesKeepTheirInvariants) {
  for (uint32_t seed = 1; seed <= 500; ++seed) {
    std::mt19937 rng(seed);
    const uint32_t n = 1 + rng() % (seed % 10 == 0 ? 200000 : 3000);
    const uint32_t alphabet = 1 + rng() % 256;
    const uint32_t base = rng() % 256;
    Bytes data(n);
    for (auto& b : data) b = static_cast<unsigned char>((base + rng() % alphabet) % 256);
    c.calcprob(data.data(), n);
    uint32_t total = 1;
    while (total < n) total <<= 1;
    ASSERT_EQ(c.prob[256], total) << "len=" << n << " seed=" << seed;
    ASSERT_EQ(1u << c.shift, total) << "len=" << n << " seed=" << seed;
    const std::vector<uint32_t> f = Frequencies(c);
    for (int s = 0; s < 256; ++s) {
      ASSERT_EQ(f[s] >= c.counts[s], true) << "len=" << n << " seed=" << seed << " s=" << s;
      ASSERT_EQ(f[s] == 0, c.counts[s] == 0) << "len=" << n << " seed=" << seed << " s=" << s;
    }
    unsigned char header[kMaxCountHeaderBytes + 1];
    const unsigned int h = FibonacciEncode2(c.counts.get(), header, 256);
    Compress reader;
    reader.InitCompressBuffers(0);
    ASSERT_EQ(reader.readprob(header), h);
    ASSERT_EQ(reader.shift, c.shift);
    for (int s = 0; s <= 256; ++s) ASSERT_EQ(reader.prob[s], c.prob[s]) << "seed=" << seed;
  }
}

}  // namespace
