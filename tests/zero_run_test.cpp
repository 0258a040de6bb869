// Zero-run coding: golden strings at each level; the level choice against a plain form
// kept here and the coded strings by hash, on every kind of run; the checked decoder on cut
// strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/test_data.h"

namespace {

using testbytes::Bytes;
using testbytes::Cat;

Bytes Code(const Bytes& in, int level) {
  Bytes out(in.size() + (in.size() + 1) / 2 + 3, 0xCD);  // exactly the room zero::RLE may use
  out.resize(size_t(std::max(0, zero::RLE(in.data(), out.data(), int(in.size()), level))));
  return out;
}

TEST(ZeroRun, GoldenStrings) {
  const Bytes z300(300, 0);
  const struct {
    int level;
    Bytes in, coded;
  } kCases[] = {
      {1, {5, 0, 0, 0, 7, 0}, {5, 0, 1, 7, 0, 0}},
      {1, {1, 0, 2, 0, 0, 3}, {1, 0, 0, 2, 0, 0xFF, 3}},
      {2, {5, 0, 7, 0, 0, 0, 0, 9}, {5, 0, 7, 0, 0, 1, 9}},
      {3, {0, 8, 0, 0, 8, 0, 0, 0, 8}, {0, 8, 0, 0, 8, 0, 0, 0, 0, 8}},
      {1, Cat(z300, {7}), {0, 0x80, 0, 0xEA, 7}},
      {2, Cat(z300, {7}), {0, 0, 0x80, 0, 0, 0xEB, 7}},
      {3, Cat(z300, {7}), {0, 0, 0, 0x80, 0, 0, 0, 0xEC, 7}},
      {1, {0}, {0, 0}},  // code bytes of r = 0, 1, 3, 4, 253, 254, 255; 257 zeros
      {1, {0, 0}, {0, 0xFF}},
      {1, Cat(Bytes(4, 0), {7}), {0, 0xFE, 7}},
      {1, Cat(Bytes(5, 0), {7}), {0, 0x02, 7}},
      {1, Cat(Bytes(254, 0), {7}), {0, 0x81, 7}},
      {1, Cat(Bytes(255, 0), {7}), {0, 0x7F, 7}},
      {1, Bytes(256, 0), {0, 0x80}},
      {1, Bytes(257, 0), {0, 0x80, 0, 0}},
      {2, {9, 0}, {9, 0, 0, 0}},
      {3, {9, 0}, {9, 0, 0, 0, 0}},
      {3, {9, 0, 0}, {9, 0, 0, 0, 0}},
      {1, {1, 2, 3, 255}, {1, 2, 3, 255}},
      {2, {1, 2, 3, 255}, {1, 2, 3, 255}},
      {3, {1, 2, 3, 255}, {1, 2, 3, 255}},
  };
  for (const auto& k : kCases) {
    const std::string what =
        "level=" + std::to_string(k.level) + " in=" + testbytes::Hex(k.in).substr(0, 24);
    EXPECT_EQ(testbytes::Hex(Code(k.in, k.level)), testbytes::Hex(k.coded)) << what;
    // Both decoders give the input back and consume the whole coded string.
    Bytes back(k.in.size(), 0xCD), back2 = back;
    EXPECT_EQ(zero::deRLE(k.coded.data(), back.data(), int(back.size()), k.level),
              int(k.coded.size()))
        << what;
    EXPECT_EQ(zero::deRLE(k.coded.data(), k.coded.size(), back2.data(), int(back.size()), k.level),
              int(k.coded.size()));
    EXPECT_TRUE(back == k.in && back2 == k.in) << what;
  }
  // No input, or a level other than 1 to 3: nothing written, 0 returned.
  Bytes out(8, 0xCD);
  for (const auto& [n, level] : std::vector<std::pair<int, int>>{{0, 1}, {3, 0}, {3, 4}}) {
    EXPECT_EQ(zero::RLE(out.data(), out.data() + 4, n, level), 0) << n << " " << level;
    EXPECT_EQ(zero::deRLE(out.data(), out.data() + 4, n, level), 0) << n << " " << level;
    EXPECT_EQ(zero::deRLE(out.data(), 4, out.data() + 4, n, level), 0) << n << " " << level;
  }
  EXPECT_EQ(out, Bytes(8, 0xCD));
}

TEST(ZeroRun, LevelChoiceTallies) {
  Bytes mixed;  // 100 runs of one zero and 10 of 20: tallies 80, 170, 160
  for (int i = 0; i < 100; ++i) mixed = Cat(mixed, {1, 0});
  for (int i = 0; i < 10; ++i) mixed = Cat(Cat(mixed, {1}), Bytes(20, 0));
  Bytes single;  // 20 runs of one zero, all behind the last 64-byte block: tallies -20, 0, 0
  for (int i = 0; i < 20; ++i) single = Cat(single, {1, 0});
  // 44 bytes, no whole block: 10 runs of one zero, 3 of two, 1 of three and 1 of ten:
  // tallies -10 + 1 + 8 = -1, -3 + 0 + 7 = 4 and -1 + 6 = 5.
  Bytes short_runs;
  for (int i = 0; i < 10; ++i) short_runs = Cat(short_runs, {0, 1});
  for (int i = 0; i < 3; ++i) short_runs = Cat(short_runs, {0, 0, 1});
  short_runs = Cat(Cat(Cat(short_runs, {0, 0, 0, 1}), Bytes(10, 0)), {1});
  const struct {
    Bytes in;
    int t, want;
  } kCases[] = {{Bytes(1000, 0), 16, 1}, {Bytes(1000, 0), 992, 1}, {Bytes(1000, 0), 993, 0},
                {mixed, 16, 2},          {mixed, 170, 2},          {mixed, 171, 0},
                {{1, 2, 3, 4, 5}, 1, 0}, {{1, 2, 3, 4, 5}, 0, 1},  {{}, 16, 0},
                {single, 0, 2},          {short_runs, 5, 3},       {short_runs, 6, 0}};
  for (const auto& k : kCases)
    EXPECT_EQ(zero::testRLE(k.in.data(), int(k.in.size()), k.t), k.want) << k.t;
}

// Every kind of run, at lengths across the 16- and 64-byte blocks the fast paths take: a
// chosen level saves at least 13 bytes (the
// estimate is exact but for a run cut short by the end); the coded strings within 1.5 n + 3
// bytes and their hash (recorded when they matched a plain token-by-token coder); both
// decoders give the input back, and the checked one refuses every cut of some of them.
TEST(ZeroRun, MatchesThePlainFormsOnEveryKindOfRun) {
  int chosen[4] = {};
  uint64_t all = 0;
  for (uint32_t seed = 0; seed < 900; ++seed) {
    const testdata::Kind kind = testdata::KindAt(int(seed % testdata::kKinds));
    const size_t n = seed < 450 ? seed % 300 : 300 + seed * 7 % 3000;
    Bytes in = testdata::Plane(kind, n, seed);
    if (seed % 3 == 0 && n > 0) in.back() = 0;  // often end on a short run
    const std::string what = std::string(testdata::Name(kind)) + " len=" + std::to_string(n) +
                             " seed=" + std::to_string(seed);
    const int level = zero::testRLE(in.data(), int(n), 16);
    ++chosen[level];
    for (int m = 1; m <= 3; ++m) {
      const Bytes coded = Code(in, m);
      all = testbytes::Fnv(coded, all);
      if (m == level) {
        ASSERT_LE(coded.size() + 13, n) << what;
      }
      Bytes back(n, 0xCD), back2(n, 0xCD);
      ASSERT_EQ(zero::deRLE(coded.data(), coded.size(), back.data(), int(n), m), int(coded.size()))
          << what;
      ASSERT_EQ(zero::deRLE(coded.data(), back2.data(), int(n), m), int(coded.size())) << what;
      ASSERT_TRUE(back == in && back2 == in) << what;
      for (size_t cut = 0; seed % 50 == 1 && cut < coded.size();
           ++cut) {  // exact-size copies, for ASan
        const Bytes part(coded.begin(), coded.begin() + long(cut));
        ASSERT_EQ(zero::deRLE(part.data(), part.size(), back.data(), int(n), m), -1)
            << what << " cut=" << cut;
      }
    }
  }
  for (int level = 1; level <= 3; ++level) EXPECT_GT(chosen[level], 20) << "level " << level;
  EXPECT_EQ(all, 0x917df50b16e48071ull) << "the coded strings";
}

}  // namespace
