// Colour decorrelation and median prediction: golden vectors and inverse round trips.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codec/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Residuals(Bytes frame, int w, int h) {
  Bytes out(frame.size());
  DeEntropy(frame.data(), out.data(), w, h);
  return out;
}

struct MedianCase {
  int x, y, z, want;
};

TEST(Median, Table) {
  const MedianCase cases[] = {
      {1, 2, 3, 2},     {1, 3, 2, 2},   {2, 1, 3, 2},   {2, 3, 1, 2},   {3, 1, 2, 2},
      {3, 2, 1, 2},     {5, 5, 5, 5},   {5, 5, 1, 5},   {5, 1, 5, 5},   {1, 5, 5, 5},
      {0, 255, 510, 255}, {0, 255, -255, 0}, {200, 100, 290, 200}, {200, 100, 34, 100},
  };
  for (const auto& c : cases)
    EXPECT_EQ(median(c.x, c.y, c.z), c.want) << "median(" << c.x << ", " << c.y << ", " << c.z << ")";
}

// Golden residuals. The source is decorrelated in place (checked where `decorrelated` is
// given) and nothing past the frame's residuals is written.
TEST(DeEntropy, GoldenResiduals) {
  const struct {
    const char* name;
    int w, h;
    Bytes frame, residuals, decorrelated;
  } kCases[] = {
      {"worked_example_3x2", 3, 2,
       {10, 20, 30, 12, 22, 35, 15, 25, 40, 11, 21, 31, 13, 24, 36, 200, 100, 50},
       {246, 20, 10, 0, 2, 3, 0, 3, 2, 0, 1, 0, 255, 2, 255, 111, 75, 192},
       {246, 20, 10, 246, 22, 13, 246, 25, 15, 246, 21, 10, 245, 24, 12, 100, 100, 206}},
      // Left 200, above 100, upper-left 10 in byte 1: the unreduced gradient 290 makes the
      // prediction 200 (reduced modulo 256 it would be 100).
      {"gradient_not_reduced", 2, 2, {10, 10, 10, 100, 100, 100, 200, 200, 200, 7, 7, 7},
       {0, 10, 0, 0, 90, 0, 0, 190, 0, 0, 63, 0}, {}},
      {"one_pixel_wide_predicts_from_above", 1, 4, {1, 2, 3, 9, 8, 7, 50, 60, 70, 50, 60, 71},
       {255, 2, 1, 2, 6, 254, 245, 52, 11, 0, 0, 1}, {}},
      {"one_row_uses_left_only", 4, 1, {10, 20, 30, 12, 22, 35, 15, 25, 40, 0, 0, 0},
       {246, 20, 10, 0, 2, 3, 0, 3, 2, 10, 231, 241}, {}},
  };
  for (const auto& k : kCases) {
    Bytes work = k.frame;
    Bytes res(k.frame.size() + 4, 0xAB);
    DeEntropy(work.data(), res.data(), k.w, k.h);
    EXPECT_EQ(Bytes(res.begin(), res.end() - 4), k.residuals) << "case=" << k.name;
    EXPECT_EQ(Bytes(res.end() - 4, res.end()), Bytes(4, 0xAB)) << "case=" << k.name << ": wrote past the frame";
    if (!k.decorrelated.empty()) {
      EXPECT_EQ(work, k.decorrelated) << "case=" << k.name;
    }
  }
}

TEST(DeEntropy, SolidFrameLeavesOnlyThePixel) {
  const int w = 7, h = 5;
  Bytes frame;
  for (int i = 0; i < w * h; ++i) frame.insert(frame.end(), {30, 100, 250});
  Bytes res = Residuals(frame, w, h);
  EXPECT_EQ(res[0], 186);
  EXPECT_EQ(res[1], 100);
  EXPECT_EQ(res[2], 150);
  for (size_t i = 3; i < res.size(); ++i) EXPECT_EQ(res[i], 0) << "i=" << i;
}

enum class Content { kNoise, kSmooth, kFlat, kSmallNoise };

Bytes MakeFrame(int w, int h, Content c, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes f(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k) {
        uint8_t& b = f[(static_cast<size_t>(y) * w + x) * 3 + k];
        switch (c) {
          case Content::kNoise: b = static_cast<uint8_t>(rng()); break;
          case Content::kSmooth: b = static_cast<uint8_t>(x * 3 + y * 5 + k * 70); break;
          case Content::kFlat: b = static_cast<uint8_t>(k * 80 + 3); break;
          case Content::kSmallNoise: b = static_cast<uint8_t>(128 + x - y + int(rng() % 5) - 2); break;
        }
      }
  return f;
}

TEST(ReEntropy, InvertsDeEntropy) {
  const int sizes[][2] = {{1, 1}, {1, 2}, {2, 1}, {1, 9}, {9, 1}, {2, 2}, {3, 2},
                          {5, 7}, {8, 8}, {17, 3}, {31, 29}, {64, 1}, {1, 64}, {100, 37}};
  const Content contents[] = {Content::kNoise, Content::kSmooth, Content::kFlat,
                              Content::kSmallNoise};
  uint32_t seed = 1;
  for (const auto& s : sizes)
    for (Content c : contents) {
      ++seed;
      const int w = s[0], h = s[1];
      Bytes frame = MakeFrame(w, h, c, seed);
      Bytes res = Residuals(frame, w, h);
      Bytes back(frame.size() + 3, 0x5A);
      ReEntropy(res.data(), back.data(), w, h);
      EXPECT_EQ(Bytes(back.begin(), back.end() - 3), frame)
          << "w=" << w << " h=" << h << " content=" << int(c) << " seed=" << seed;
      for (size_t i = frame.size(); i < back.size(); ++i)
        EXPECT_EQ(back[i], 0x5A) << "wrote past the frame: w=" << w << " h=" << h;
    }
}

TEST(ReEntropy, ArbitraryResidualsRoundTripTheOtherWay) {
  // Every residual string is the residual of exactly one frame.
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    const int w = 1 + int(seed % 7) * 3, h = 1 + int(seed % 5) * 4;
    Bytes res = MakeFrame(w, h, Content::kNoise, seed);
    Bytes frame(res.size());
    ReEntropy(res.data(), frame.data(), w, h);
    EXPECT_EQ(Residuals(frame, w, h), res) << "w=" << w << " h=" << h << " seed=" << seed;
  }
}

}  // namespace
