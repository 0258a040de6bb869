// Colour decorrelation and median prediction into three residual planes, and the inverse:
// golden planes, and every width to 70 and back (the fast forms split
// rows 16 pixels at a time and rebuild them in vector lanes).
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
using testdata::Kind;

// The planes DeEntropy leaves, with 4 guard bytes behind them (checked untouched).
Bytes Planes(const Bytes& frame, int w, int h) {
  Bytes planes(frame.size() + 4, 0xAB), scratch(PredictScratchBytes(w));
  DeEntropy(frame.data(), planes.data(), w, h, scratch.data());
  EXPECT_EQ(Bytes(planes.end() - 4, planes.end()), Bytes(4, 0xAB))
      << "w=" << w << " h=" << h << ": wrote past the planes";
  planes.resize(frame.size());
  return planes;
}

// The frame rebuilt with plane 2 in its own last third, where the decoder keeps it, and
// 4 guard bytes behind it (checked untouched).
Bytes Frame(const Bytes& planes, int w, int h) {
  const size_t n = planes.size() / 3;
  Bytes frame(planes.size() + 4, 0xAB), scratch(PredictScratchBytes(w));
  std::copy(planes.begin() + 2 * n, planes.end(), frame.begin() + 2 * n);
  const unsigned char* const plane[3] = {planes.data(), planes.data() + n, frame.data() + 2 * n};
  ReEntropy(plane, frame.data(), w, h, scratch.data());
  EXPECT_EQ(Bytes(frame.end() - 4, frame.end()), Bytes(4, 0xAB))
      << "w=" << w << " h=" << h << ": wrote past the frame";
  frame.resize(planes.size());
  return frame;
}

// Two frames rebuilt together, as Frame rebuilds one.
std::vector<Bytes> FramesTwo(const Bytes& planes0, const Bytes& planes1, int w, int h) {
  const size_t n = planes0.size() / 3;
  std::vector<Bytes> frames(2, Bytes(planes0.size() + 4, 0xAB));
  std::copy(planes0.begin() + 2 * n, planes0.end(), frames[0].begin() + 2 * n);
  std::copy(planes1.begin() + 2 * n, planes1.end(), frames[1].begin() + 2 * n);
  Bytes scratch(PredictScratchBytesTwo(w));
  const unsigned char* const in[2][3] = {
      {planes0.data(), planes0.data() + n, frames[0].data() + 2 * n},
      {planes1.data(), planes1.data() + n, frames[1].data() + 2 * n}};
  unsigned char* const out[2] = {frames[0].data(), frames[1].data()};
  ReEntropyTwo(in, out, w, h, scratch.data());
  for (Bytes& frame : frames) {
    EXPECT_EQ(Bytes(frame.end() - 4, frame.end()), Bytes(4, 0xAB))
        << "w=" << w << " h=" << h << ": wrote past a frame of a pair";
    frame.resize(planes0.size());
  }
  return frames;
}

// Interleaved residuals (as the format lists them) to planes.
Bytes Split(const Bytes& r) {
  const size_t n = r.size() / 3;
  Bytes p(r.size());
  for (size_t i = 0; i < r.size(); ++i) p[i % 3 * n + i / 3] = r[i];
  return p;
}

TEST(Predict, GoldenPlanes) {
  Bytes solid;
  for (int i = 0; i < 35; ++i) solid.insert(solid.end(), {30, 100, 250});
  Bytes solid_res(105, 0);
  solid_res[0] = 186, solid_res[1] = 100, solid_res[2] = 150;
  const struct {
    const char* name;
    int w, h;
    Bytes frame, residuals;  // residuals interleaved
  } kCases[] = {
      {"worked example",
       3,
       2,
       {10, 20, 30, 12, 22, 35, 15, 25, 40, 11, 21, 31, 13, 24, 36, 200, 100, 50},
       {246, 20, 10, 0, 2, 3, 0, 3, 2, 0, 1, 0, 255, 2, 255, 111, 75, 192}},
      // Left 200, above 100, upper-left 10 in byte 1: the unreduced gradient 290 makes the
      // prediction 200 (reduced modulo 256 it would be 100).
      {"gradient not reduced",
       2,
       2,
       {10, 10, 10, 100, 100, 100, 200, 200, 200, 7, 7, 7},
       {0, 10, 0, 0, 90, 0, 0, 190, 0, 0, 63, 0}},
      {"one pixel wide: from above",
       1,
       4,
       {1, 2, 3, 9, 8, 7, 50, 60, 70, 50, 60, 71},
       {255, 2, 1, 2, 6, 254, 245, 52, 11, 0, 0, 1}},
      {"one row: from the left",
       4,
       1,
       {10, 20, 30, 12, 22, 35, 15, 25, 40, 0, 0, 0},
       {246, 20, 10, 0, 2, 3, 0, 3, 2, 10, 231, 241}},
      {"one colour", 7, 5, solid, solid_res},
  };
  for (const auto& k : kCases) {
    EXPECT_EQ(Planes(k.frame, k.w, k.h), Split(k.residuals)) << k.name;
    EXPECT_EQ(Frame(Split(k.residuals), k.w, k.h), k.frame) << k.name;
  }
}

// Every width to 70 (the vector loops and their tails) and heights 1 to 5, on frames of
// every kind: the inverse gives the frame back, alone and rebuilt together with a frame
// of the next kind, and random planes are the planes of exactly one frame.
TEST(Predict, InvertsForEveryWidthTo70) {
  uint32_t seed = 0;
  for (int w = 1; w <= 70; ++w)
    for (int h = 1; h <= 5; ++h) {
      Bytes partner = testdata::Frame(testdata::KindAt(testdata::kKinds - 1), w, h, ++seed);
      for (int k = 0; k < testdata::kKinds; ++k) {
        const Bytes frame = testdata::Frame(testdata::KindAt(k), w, h, ++seed);
        const Bytes planes = Planes(frame, w, h);
        const std::string what = "w=" + std::to_string(w) + " h=" + std::to_string(h) + " " +
                                 testdata::Name(testdata::KindAt(k));
        ASSERT_EQ(Frame(planes, w, h), frame) << what;
        ASSERT_EQ(FramesTwo(Planes(partner, w, h), planes, w, h),
                  std::vector<Bytes>({partner, frame}))
            << what << ", second of a pair";
        partner = frame;
      }
      const Bytes random_planes = testdata::Plane(Kind::kNoise, size_t(w) * h * 3, ++seed);
      ASSERT_EQ(Planes(Frame(random_planes, w, h), w, h), random_planes) << "w=" << w << " h=" << h;
    }
}

}  // namespace
