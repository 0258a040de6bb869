// Zero-run coding: golden strings at each level, the level choice and the checked decoder.
#include <gtest/gtest.h>

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

Bytes Code(const Bytes& in, int level) {
  Bytes out(in.size() + in.size() / 2 + 3 + 16, 0xCD);
  const int k = zero::RLE(in.data(), out.data(), static_cast<int>(in.size()), level);
  out.resize(k < 0 ? 0 : static_cast<size_t>(k));
  return out;
}

struct Golden {
  const char* name;
  int level;
  Bytes in;
  Bytes coded;
};

std::vector<Golden> GoldenCases() {
  return {
      {"level1_short_runs", 1, {0x05, 0, 0, 0, 0x07, 0}, {0x05, 0, 0x01, 0x07, 0, 0}},
      {"level1_odd_run", 1, {0x01, 0, 0x02, 0, 0, 0x03}, {0x01, 0, 0, 0x02, 0, 0xFF, 0x03}},
      {"level2", 2, {0x05, 0, 0x07, 0, 0, 0, 0, 0x09}, {0x05, 0, 0x07, 0, 0, 0x01, 0x09}},
      {"level3", 3, {0, 0x08, 0, 0, 0x08, 0, 0, 0, 0x08}, {0, 0x08, 0, 0, 0x08, 0, 0, 0, 0, 0x08}},
      {"level1_300", 1, Cat(Zeros(300), {0x07}), {0, 0x80, 0, 0xEA, 0x07}},
      {"level2_300", 2, Cat(Zeros(300), {0x07}), {0, 0, 0x80, 0, 0, 0xEB, 0x07}},
      {"level3_300", 3, Cat(Zeros(300), {0x07}), {0, 0, 0, 0x80, 0, 0, 0, 0xEC, 0x07}},
      {"level1_one_zero", 1, {0}, {0, 0}},
      {"level1_two_zeros", 1, {0, 0}, {0, 0xFF}},
      {"level1_256", 1, Zeros(256), {0, 0x80}},
      {"level1_257", 1, Zeros(257), {0, 0x80, 0, 0}},
      {"level2_trailing_zero", 2, {0x09, 0}, {0x09, 0, 0, 0}},
      {"level3_trailing_zero", 3, {0x09, 0}, {0x09, 0, 0, 0, 0}},
      {"level3_trailing_two_zeros", 3, {0x09, 0, 0}, {0x09, 0, 0, 0, 0}},
      {"no_zeros_level1", 1, {1, 2, 3, 255}, {1, 2, 3, 255}},
      {"no_zeros_level2", 2, {1, 2, 3, 255}, {1, 2, 3, 255}},
      {"no_zeros_level3", 3, {1, 2, 3, 255}, {1, 2, 3, 255}},
  };
}

TEST(ZeroRun, GoldenStrings) {
  for (const Golden& g : GoldenCases()) {
    EXPECT_EQ(Hex(Code(g.in, g.level)), Hex(g.coded)) << g.name;
    // Decoding gives the input back and consumes the whole coded string.
    Bytes back(g.in.size(), 0xCD);
    EXPECT_EQ(zero::deRLE(g.coded.data(), back.data(), static_cast<int>(back.size()), g.level),
              static_cast<int>(g.coded.size()))
        << g.name;
    EXPECT_EQ(Hex(back), Hex(g.in)) << g.name;
    Bytes back2(g.in.size(), 0xCD);
    EXPECT_EQ(zero::deRLE(g.coded.data(), g.coded.size(), back2.data(),
                          static_cast<int>(back2.size()), g.level),
              static_cast<int>(g.coded.size()))
        << g.name;
    EXPECT_EQ(back2, g.in) << g.name;
  }
}

TEST(ZeroRun, CodeBytes) {
  // r: 0 1 2 3 4 253 254 255 -> the folded code byte, seen as a run at level 1.
  const int runs[] = {0, 1, 2, 3, 4, 253, 254, 255};
  const unsigned char codes[] = {0x00, 0xFF, 0x01, 0xFE, 0x02, 0x81, 0x7F, 0x80};
  for (int i = 0; i < 8; ++i) {
    const Bytes coded = Code(Cat(Zeros(static_cast<size_t>(runs[i]) + 1), {0x07}), 1);
    EXPECT_EQ(Hex(coded), Hex({0, codes[i], 0x07})) << "r=" << runs[i];
  }
}

TEST(ZeroRun, NothingForEmptyInputOrBadLevel) {
  Bytes in = {0, 1, 0};
  Bytes out(8, 0xCD);
  EXPECT_EQ(zero::RLE(in.data(), out.data(), 0, 1), 0);
  EXPECT_EQ(zero::RLE(in.data(), out.data(), 3, 0), 0);
  EXPECT_EQ(zero::RLE(in.data(), out.data(), 3, 4), 0);
  EXPECT_EQ(zero::deRLE(in.data(), out.data(), 0, 1), 0);
  EXPECT_EQ(zero::deRLE(in.data(), out.data(), 3, 0), 0);
  EXPECT_EQ(zero::deRLE(in.data(), in.size(), out.data(), 3, 4), 0);
  EXPECT_EQ(Hex(out), "CD CD CD CD CD CD CD CD");
  EXPECT_EQ(zero::testRLE(in.data(), 0, 16), 0);
}

TEST(ZeroRun, TestRleTallies) {
  // 1000 zeros: tallies 992, 988, 984 -> level 1.
  const Bytes thousand = Zeros(1000);
  EXPECT_EQ(zero::testRLE(thousand.data(), 1000, 16), 1);
  EXPECT_EQ(zero::testRLE(thousand.data(), 1000, 992), 1);
  EXPECT_EQ(zero::testRLE(thousand.data(), 1000, 993), 0);

  // 100 runs of one zero and 10 of 20, each behind a non-zero byte: 80, 170, 160 -> 2.
  Bytes mixed;
  for (int i = 0; i < 100; ++i) mixed = Cat(mixed, {1, 0});
  for (int i = 0; i < 10; ++i) mixed = Cat(Cat(mixed, {1}), Zeros(20));
  const int n = static_cast<int>(mixed.size());
  EXPECT_EQ(zero::testRLE(mixed.data(), n, 16), 2);
  EXPECT_EQ(zero::testRLE(mixed.data(), n, 170), 2);
  EXPECT_EQ(zero::testRLE(mixed.data(), n, 171), 0);

  const Bytes none = {1, 2, 3, 4, 5};
  EXPECT_EQ(zero::testRLE(none.data(), 5, 1), 0);
  EXPECT_EQ(zero::testRLE(none.data(), 5, 0), 1);
}

TEST(ZeroRun, RoundTripAllLevels) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    const size_t n = 1 + rng() % 2000;
    const int zero_percent = static_cast<int>(rng() % 101);
    const int burst = 1 + static_cast<int>(rng() % 600);
    Bytes in(n);
    for (size_t i = 0; i < n;) {
      if (static_cast<int>(rng() % 100) < zero_percent) {
        const size_t run = 1 + rng() % static_cast<uint32_t>(burst);
        for (size_t z = 0; z < run && i < n; ++z) in[i++] = 0;
      } else {
        in[i++] = static_cast<unsigned char>(1 + rng() % 255);
      }
    }
    for (int level = 1; level <= 3; ++level) {
      const Bytes coded = Code(in, level);
      ASSERT_LE(coded.size(), n + n / 2 + 3) << "len=" << n << " seed=" << seed;
      Bytes back(n, 0xCD);
      ASSERT_EQ(zero::deRLE(coded.data(), coded.size(), back.data(), static_cast<int>(n), level),
                static_cast<int>(coded.size()))
          << "len=" << n << " seed=" << seed << " level=" << level;
      ASSERT_EQ(back, in) << "len=" << n << " seed=" << seed << " level=" << level;
    }
  }
}

TEST(ZeroRun, WorstCaseLengths) {
  // Lone zeros between non-zero bytes cost 1.5 bytes per byte at level 1; a lone zero at
  // the end costs four bytes at level 3.
  for (size_t n = 1; n <= 64; ++n) {
    Bytes in(n);
    for (size_t i = 0; i < n; ++i) in[i] = (i % 2 == 0) ? 0 : 7;
    for (int level = 1; level <= 3; ++level) {
      EXPECT_LE(Code(in, level).size(), n + n / 2 + 3) << "len=" << n << " level=" << level;
    }
  }
}

TEST(ZeroRun, ChosenLevelNeverLengthens) {
  // Whenever testRLE picks a level, the coded string is at least 13 bytes shorter than
  // the input (the estimate is exact for short runs; a run cut short by the end of the
  // input costs at most 3 bytes more than estimated).
  int chosen[4] = {0, 0, 0, 0};
  for (uint32_t seed = 1; seed <= 800; ++seed) {
    std::mt19937 rng(seed);
    const size_t n = 1 + rng() % 3000;
    const int style = static_cast<int>(seed % 4);
    Bytes in;
    while (in.size() < n) {
      const uint32_t x = rng() % 100;
      size_t run = 0;
      if (style == 0) run = x < 40 ? x % 4 : 0;                    // short runs
      if (style == 1) run = x < 70 ? 1 : x < 75 ? 20 : 0;          // level 2 pays most
      if (style == 2) run = x < 45 ? 1 : x < 85 ? 2 : 20;          // level 3 pays most
      if (style == 3) run = x < 50 ? 250 + rng() % 600 : 0;        // long runs
      in.insert(in.end(), run, 0);
      in.push_back(static_cast<unsigned char>(1 + rng() % 255));
    }
    in.resize(n);
    // Often end on a short run, the one place where the estimate is optimistic.
    if (seed % 3 == 0) in.back() = 0;
    const int level = zero::testRLE(in.data(), static_cast<int>(n), 16);
    ++chosen[level];
    if (level == 0) continue;
    EXPECT_LE(Code(in, level).size() + 13, n) << "len=" << n << " seed=" << seed;
  }
  for (int level = 1; level <= 3; ++level) EXPECT_GT(chosen[level], 20) << "level " << level;
}

TEST(ZeroRun, CheckedDecoderStopsAtTheEnd) {
  const Bytes in = Cat(Cat({5, 0, 7}, Zeros(700)), {0, 0, 9, 0});
  for (int level = 1; level <= 3; ++level) {
    const Bytes coded = Code(in, level);
    for (size_t cut = 0; cut < coded.size(); ++cut) {
      // Copy to an exact-size heap block so that a read past it is caught by ASan.
      std::vector<unsigned char> part(coded.begin(), coded.begin() + static_cast<long>(cut));
      Bytes out(in.size(), 0xCD);
      EXPECT_EQ(zero::deRLE(part.data(), part.size(), out.data(), static_cast<int>(in.size()),
                            level),
                -1)
          << "cut=" << cut << " level=" << level;
    }
  }
}

}  // namespace
