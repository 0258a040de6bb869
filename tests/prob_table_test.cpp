// The probability table and its Fibonacci-coded count header.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Hex(const unsigned char* b, size_t n) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kDigits[b[i] >> 4];
    s += kDigits[b[i] & 15];
  }
  return s;
}

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

TEST(FibonacciNumbers, Golden) {
  const struct {
    uint32_t n;
    const char* bits;
  } kCases[] = {{1, "11"},      {2, "0110"},    {3, "0111"},    {4, "001100"},
                {5, "001101"},  {7, "001111"},  {8, "1011000"}, {100, "01011100100"}};
  for (const auto& k : kCases) {
    EXPECT_EQ(NumberBits(k.n, std::strlen(k.bits)), k.bits) << "N=" << k.n;
  }
}

TEST(FibonacciNumbers, CodesOfBitLengths) {
  // The Fibonacci code of L is the header's first bits for N = 2^(L-1).
  const struct {
    uint32_t length;
    const char* code;
  } kCases[] = {{1, "11"},    {2, "011"},      {3, "0011"},       {4, "1011"},
                {5, "00011"}, {8, "000011"},   {21, "00000011"},  {32, "00101011"}};
  for (const auto& k : kCases) {
    const uint32_t n = 1u << (k.length - 1);
    EXPECT_EQ(NumberBits(n, std::strlen(k.code)), k.code) << "L=" << k.length;
  }
}

TEST_F(ProbTable, WorkedExample) {
  const Bytes data = {0, 0, 0, 1, 255};
  c.calcprob(data.data(), 5);
  EXPECT_EQ(c.shift, 3u);
  EXPECT_EQ(c.counts[0], 3u);
  EXPECT_EQ(c.counts[1], 1u);
  EXPECT_EQ(c.counts[255], 1u);
  EXPECT_EQ(c.prob[0], 0u);
  EXPECT_EQ(c.prob[1], 5u);
  for (int s = 2; s <= 255; ++s) EXPECT_EQ(c.prob[s], 7u) << "s=" << s;
  EXPECT_EQ(c.prob[256], 8u);

  unsigned char out[kMaxCountHeaderBytes + 1];
  const unsigned int n = FibonacciEncode2(c.counts.get(), out, 256);
  EXPECT_EQ(Hex(out, n), "31 B0 FE B0");
  EXPECT_EQ(Bits(out, 29), "00110001101100001111111010110");
}

TEST_F(ProbTable, TenZeros) {
  const Bytes data(10, 0);
  c.calcprob(data.data(), 10);
  EXPECT_EQ(c.shift, 4u);
  EXPECT_EQ(c.prob[1], 16u);
  EXPECT_EQ(c.prob[256], 16u);
  unsigned char out[kMaxCountHeaderBytes + 1];
  const unsigned int n = FibonacciEncode2(c.counts.get(), out, 256);
  EXPECT_EQ(Hex(out, n), "B7 87 FC");
}

TEST_F(ProbTable, ScaleFactors) {
  // The single-precision factors T / length of the worked examples.
  EXPECT_EQ(static_cast<double>(8.0f / 5.0f), 1.60000002384185791015625);
  EXPECT_EQ(static_cast<double>(128.0f / 100.0f), 1.2799999713897705078125);
  EXPECT_EQ(static_cast<double>(4.0f / 3.0f), 1.33333337306976318359375);

  // The length-100 factor is just below 1.28, so 50 x 1.28 truncates to 63, not 64; the
  // deficit of 2 then goes to symbols 0 and 1.
  Bytes data(100, 0);
  for (int i = 50; i < 100; ++i) data[i] = 1;
  data[99] = 2;  // 50 zeros, 49 ones, one 2: 63, 62, 1 -> deficit 2
  c.calcprob(data.data(), 100);
  const std::vector<uint32_t> f = Frequencies(c);
  EXPECT_EQ(f[0], 64u);
  EXPECT_EQ(f[1], 63u);
  EXPECT_EQ(f[2], 1u);
}

TEST_F(ProbTable, PowerOfTwoLengthKeepsCounts) {
  Bytes data;
  for (int i = 0; i < 64; ++i) data.push_back(static_cast<unsigned char>(i % 5 * 40));
  c.calcprob(data.data(), 64);
  EXPECT_EQ(c.shift, 6u);
  const std::vector<uint32_t> f = Frequencies(c);
  for (int s = 0; s < 256; ++s) EXPECT_EQ(f[s], c.counts[s]) << "s=" << s;
}

TEST_F(ProbTable, DeficitGoesToSymbolZero) {
  const Bytes data = {0, 255, 255};
  c.calcprob(data.data(), 3);
  EXPECT_EQ(c.shift, 2u);
  const std::vector<uint32_t> f = Frequencies(c);
  EXPECT_EQ(f[0], 2u);
  EXPECT_EQ(f[255], 2u);
}

TEST_F(ProbTable, SingleByte) {
  const Bytes data = {77};
  c.calcprob(data.data(), 1);
  EXPECT_EQ(c.shift, 0u);
  EXPECT_EQ(Frequencies(c)[77], 1u);
  EXPECT_EQ(c.prob[256], 1u);
}

TEST_F(ProbTable, DeficitWithOnlyHighSymbolsEnds) {
  // 100 bytes of 200: T = 128 and the truncated product 127. None of 0 to 127 occurs, so
  // the one missing unit goes to the first occurring symbol of all 256.
  const Bytes data(100, 200);
  c.calcprob(data.data(), 100);
  EXPECT_EQ(c.shift, 7u);
  EXPECT_EQ(Frequencies(c)[200], 128u);
  EXPECT_EQ(c.prob[256], 128u);

  // Readers build the same table from the header.
  unsigned char header[kMaxCountHeaderBytes + 1];
  const unsigned int n = FibonacciEncode2(c.counts.get(), header, 256);
  Compress reader;
  reader.InitCompressBuffers(0);
  EXPECT_EQ(reader.readprob(header), n);
  for (int s = 0; s <= 256; ++s) EXPECT_EQ(reader.prob[s], c.prob[s]) << "s=" << s;
}

TEST_F(ProbTable, HighSymbolsShareTheDeficitInOrder) {
  // 3 x 130, 3 x 140, 1 x 250 (length 7, T = 8, factor 8/7): 3, 3, 1, deficit 1 -> 130.
  const Bytes data = {130, 130, 130, 140, 140, 140, 250};
  c.calcprob(data.data(), 7);
  const std::vector<uint32_t> f = Frequencies(c);
  EXPECT_EQ(f[130], 4u);
  EXPECT_EQ(f[140], 3u);
  EXPECT_EQ(f[250], 1u);
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
