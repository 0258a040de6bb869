// Frame compression and decoding: golden frames, the solid-frame test, round trips over
// many shapes and contents, determinism, and damaged frames for the decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Coded {
  Bytes bytes;
  uint32_t flags = 0;
  uint32_t size = 0;
};

// Compresses into a heap block of exactly MaxCompressedFrameSize bytes, filled with
// `garbage` first, so that the sanitizer build catches any write beyond the bound.
Coded CompressFrame(const Bytes& frame, int w, int h, uint8_t garbage = 0xCD,
                    uint32_t preset_flags = 0, uint32_t preset_size = 0) {
  Coded c;
  CodecInst codec;
  EXPECT_EQ(codec.CompressBegin(w, h, 24), 0) << "w=" << w << " h=" << h;
  const size_t cap = MaxCompressedFrameSize(w, h);
  EXPECT_GE(cap, 4u);
  std::unique_ptr<uint8_t[]> out(new uint8_t[cap]);
  std::memset(out.get(), garbage, cap);
  ICCOMPRESS icc;
  icc.flags = preset_flags;
  icc.size = preset_size;
  icc.input = frame.data();
  icc.output = out.get();
  EXPECT_EQ(codec.CompressContinue(&icc, 0), 0);
  EXPECT_LE(icc.size, cap) << "w=" << w << " h=" << h;
  c.flags = icc.flags;
  c.size = icc.size;
  c.bytes.assign(out.get(), out.get() + std::min<size_t>(icc.size, cap));
  return c;
}

// Decodes into a heap block of exactly the frame's size; empty on failure.
bool DecodeFrame(const Bytes& coded, int w, int h, Bytes* frame) {
  FrameDecoder dec;
  if (!dec.Begin(w, h)) return false;
  const size_t n = static_cast<size_t>(w) * h * 3;
  std::unique_ptr<uint8_t[]> in(new uint8_t[coded.size() ? coded.size() : 1]);
  if (!coded.empty()) std::memcpy(in.get(), coded.data(), coded.size());
  std::unique_ptr<uint8_t[]> out(new uint8_t[n]);
  if (!dec.Decode(in.get(), coded.size(), out.get())) return false;
  frame->assign(out.get(), out.get() + n);
  return true;
}

// The frame whose residual planes are exactly p0, p1, p2: prediction is a bijection, so
// this reaches any residual pattern (and so any zero-run level or symbol set).
Bytes FrameFromPlanes(const Bytes& p0, const Bytes& p1, const Bytes& p2, int w, int h) {
  const size_t n = static_cast<size_t>(w) * h;
  Bytes res(3 * n), frame(3 * n);
  for (size_t i = 0; i < n; ++i) {
    res[3 * i] = p0[i];
    res[3 * i + 1] = p1[i];
    res[3 * i + 2] = p2[i];
  }
  ReEntropy(res.data(), frame.data(), w, h);
  return frame;
}

// Residual planes with a repeated zero pattern; `seg` lists run lengths of zeros, each
// behind one non-zero byte.
Bytes ZeroPatternPlane(size_t n, const std::vector<int>& seg, std::mt19937& rng) {
  Bytes p(n);
  size_t i = 0;
  while (i < n) {
    for (int run : seg) {
      if (i < n) p[i++] = static_cast<uint8_t>(1 + rng() % 255);
      for (int k = 0; k < run && i < n; ++k) p[i++] = 0;
    }
  }
  return p;
}

const std::vector<int> kLevel1Runs = {300};
// 100 lone zeros and 10 runs of 20 per repeat, plus one run beyond 256.
std::vector<int> Level2Runs() {
  std::vector<int> v;
  for (int r = 0; r < 10; ++r) {
    for (int k = 0; k < 10; ++k) v.push_back(1);
    v.push_back(20);
  }
  v.push_back(600);
  return v;
}
// Runs of 1 and 2 cost levels 1 and 2 a byte each and level 3 nothing.
std::vector<int> Level3Runs() {
  std::vector<int> v;
  for (int r = 0; r < 10; ++r) {
    for (int k = 0; k < 3; ++k) {
      v.push_back(1);
      v.push_back(2);
    }
    v.push_back(100);
  }
  v.push_back(600);
  return v;
}

enum class Content {
  kNoise,
  kFlatAreas,
  kGradient,
  kNatural,
  kZeroRunsLevel1,
  kZeroRunsLevel2,
  kZeroRunsLevel3,
  kHighResiduals,
  kSolidByte,
  kSolidPixel,
  kSolidButLast,
};

const char* Name(Content c) {
  switch (c) {
    case Content::kNoise: return "noise";
    case Content::kFlatAreas: return "flat-areas";
    case Content::kGradient: return "gradient";
    case Content::kNatural: return "natural";
    case Content::kZeroRunsLevel1: return "zero-runs-1";
    case Content::kZeroRunsLevel2: return "zero-runs-2";
    case Content::kZeroRunsLevel3: return "zero-runs-3";
    case Content::kHighResiduals: return "residuals>=128";
    case Content::kSolidByte: return "solid-byte";
    case Content::kSolidPixel: return "solid-pixel";
    case Content::kSolidButLast: return "solid-but-last";
  }
  return "?";
}

const Content kAllContents[] = {
    Content::kNoise,          Content::kFlatAreas,      Content::kGradient,
    Content::kNatural,        Content::kZeroRunsLevel1, Content::kZeroRunsLevel2,
    Content::kZeroRunsLevel3, Content::kHighResiduals,  Content::kSolidByte,
    Content::kSolidPixel,     Content::kSolidButLast,
};

Bytes MakeFrame(int w, int h, Content c, uint32_t seed) {
  std::mt19937 rng(seed);
  const size_t n = static_cast<size_t>(w) * h;
  Bytes f(3 * n);
  auto at = [&](int x, int y, int k) -> uint8_t& {
    return f[(static_cast<size_t>(y) * w + x) * 3 + k];
  };
  switch (c) {
    case Content::kNoise:
      for (auto& b : f) b = static_cast<uint8_t>(rng());
      break;
    case Content::kFlatAreas: {
      const int bw = 1 + int(rng() % 9), bh = 1 + int(rng() % 9);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          for (int k = 0; k < 3; ++k)
            at(x, y, k) = static_cast<uint8_t>(((x / bw + y / bh) % 3) * 60 + k * 20);
      break;
    }
    case Content::kGradient:
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          for (int k = 0; k < 3; ++k) at(x, y, k) = static_cast<uint8_t>(x * (k + 1) + y * 2);
      break;
    case Content::kNatural: {
      std::normal_distribution<double> noise(0.0, 1.5);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          for (int k = 0; k < 3; ++k) {
            const double v = 100 + 60 * std::sin(x * 0.05 + k) * std::cos(y * 0.03) + noise(rng);
            at(x, y, k) = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
          }
      break;
    }
    case Content::kZeroRunsLevel1:
    case Content::kZeroRunsLevel2:
    case Content::kZeroRunsLevel3: {
      const std::vector<int> runs = c == Content::kZeroRunsLevel1   ? kLevel1Runs
                                    : c == Content::kZeroRunsLevel2 ? Level2Runs()
                                                                    : Level3Runs();
      Bytes p0 = ZeroPatternPlane(n, runs, rng);
      Bytes p1 = ZeroPatternPlane(n, runs, rng);
      Bytes p2 = ZeroPatternPlane(n, runs, rng);
      return FrameFromPlanes(p0, p1, p2, w, h);
    }
    case Content::kHighResiduals: {
      // No residual below 128; plane 1 holds one value only.
      Bytes p0(n), p1(n, 200), p2(n);
      for (size_t i = 0; i < n; ++i) {
        p0[i] = static_cast<uint8_t>(128 + rng() % 128);
        p2[i] = static_cast<uint8_t>(128 + rng() % 4);
      }
      return FrameFromPlanes(p0, p1, p2, w, h);
    }
    case Content::kSolidByte: {
      const uint8_t v = static_cast<uint8_t>(rng());
      std::fill(f.begin(), f.end(), v);
      break;
    }
    case Content::kSolidPixel:
    case Content::kSolidButLast: {
      const uint8_t px[3] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng() | 1),
                             static_cast<uint8_t>(rng() & 0xFE)};
      for (size_t i = 0; i < f.size(); ++i) f[i] = px[i % 3];
      if (c == Content::kSolidButLast) f[f.size() - 1 - rng() % 3] ^= 0x40;
      break;
    }
  }
  return f;
}

std::string Case(int w, int h, Content c, uint32_t seed) {
  return "w=" + std::to_string(w) + " h=" + std::to_string(h) + " content=" + Name(c) +
         " seed=" + std::to_string(seed);
}

void ExpectRoundTrip(int w, int h, Content c, uint32_t seed) {
  const Bytes frame = MakeFrame(w, h, c, seed);
  const Coded coded = CompressFrame(frame, w, h);
  ASSERT_EQ(coded.flags, kKeyFrameFlag) << Case(w, h, c, seed);
  ASSERT_FALSE(coded.bytes.empty()) << Case(w, h, c, seed);
  Bytes back;
  ASSERT_TRUE(DecodeFrame(coded.bytes, w, h, &back)) << Case(w, h, c, seed);
  ASSERT_TRUE(back == frame) << Case(w, h, c, seed);
}

// ---------------------------------------------------------------------------------------
// Golden frames and the solid-frame test.

const Bytes kGolden4x2Frame = {10, 20, 30, 12, 22, 35, 15, 25,  40, 15, 25,  40,
                               11, 21, 31, 13, 24, 36, 200, 100, 50, 200, 100, 50};

// The unwritten last byte of each stream extent is 0.
const Bytes kGolden4x2Coded = {
    0x04, 0x17, 0x00, 0x00, 0x00, 0x27, 0x00, 0x00, 0x00,                          //
    0x00, 0x3B, 0x5D, 0xCD, 0x86, 0x19, 0xBB, 0x0C, 0xC4, 0xA7, 0x68, 0x00, 0x00,  //
    0x00,                                                                          //
    0x00, 0x76, 0x76, 0xC6, 0x0D, 0xCE, 0xCD, 0x86, 0xD0, 0xD1, 0x14, 0xC0, 0x00,  //
    0x00, 0x00, 0x00,                                                              //
    0x00, 0x33, 0xD9, 0xB3, 0x9B, 0x0D, 0xAB, 0x73, 0xF3, 0x00, 0xB1, 0x91, 0x70,  //
    0x00, 0x00, 0x00, 0x00,
};

TEST(KeyFrame, Golden4x2ByteForByte) {
  ASSERT_EQ(kGolden4x2Coded.size(), 56u);
  const Coded c = CompressFrame(kGolden4x2Frame, 4, 2);
  EXPECT_EQ(c.size, 56u);
  EXPECT_EQ(c.flags, 16u);
  EXPECT_EQ(c.bytes, kGolden4x2Coded);
  Bytes back;
  ASSERT_TRUE(DecodeFrame(kGolden4x2Coded, 4, 2, &back));
  EXPECT_EQ(back, kGolden4x2Frame);
}

struct SolidCase {
  int w, h;
  uint8_t b, g, r;
  Bytes want;
};

TEST(SolidFrame, TypesFiveAndSix) {
  const SolidCase cases[] = {
      {1, 1, 7, 7, 7, {5, 7}},          {1, 1, 1, 2, 3, {6, 1, 2, 3}},
      {7, 1, 0, 0, 0, {5, 0}},          {2, 3, 9, 9, 8, {6, 9, 9, 8}},
      {8, 1, 255, 255, 255, {5, 255}},  {3, 3, 10, 20, 30, {6, 10, 20, 30}},
      {4, 2, 44, 44, 44, {5, 44}},      {64, 48, 0, 1, 0, {6, 0, 1, 0}},
      {641, 3, 128, 128, 128, {5, 128}},
  };
  for (const auto& s : cases) {
    Bytes frame;
    for (int i = 0; i < s.w * s.h; ++i) frame.insert(frame.end(), {s.b, s.g, s.r});
    const Coded c = CompressFrame(frame, s.w, s.h);
    EXPECT_EQ(c.bytes, s.want) << "w=" << s.w << " h=" << s.h;
    EXPECT_EQ(c.size, s.want.size()) << "w=" << s.w << " h=" << s.h;
    EXPECT_EQ(c.flags, 16u) << "w=" << s.w << " h=" << s.h;
    Bytes back;
    ASSERT_TRUE(DecodeFrame(c.bytes, s.w, s.h, &back)) << "w=" << s.w << " h=" << s.h;
    EXPECT_EQ(back, frame) << "w=" << s.w << " h=" << s.h;
  }
}

// Every pixel but one differing byte equal (all bytes equal, or one colour of three
// different bytes), for every size up to 12x12 and every byte position in the first and
// last pixels and in pixels 8, 9, 15, 16 and 17 (around the blocks compared at once).
TEST(SolidFrame, OneDifferingByteMakesAKeyFrame) {
  for (const Bytes& pixel : {Bytes{50, 50, 50}, Bytes{1, 2, 3}})
    for (int w = 1; w <= 12; ++w)
      for (int h = 1; h <= 12; ++h) {
        const int n = w * h;
        if (n < 2) continue;
        Bytes base;
        for (int i = 0; i < n; ++i) base.insert(base.end(), pixel.begin(), pixel.end());
        std::vector<size_t> spots = {0, 1, 2, base.size() - 3, base.size() - 2, base.size() - 1};
        for (size_t p : {8, 9, 15, 16, 17})
          if (int(p) < n) spots.insert(spots.end(), {3 * p, 3 * p + 1, 3 * p + 2});
        for (size_t spot : spots) {
          Bytes frame = base;
          frame[spot] ^= 0x09;
          const std::string what = "w=" + std::to_string(w) + " h=" + std::to_string(h) +
                                   " pixel=" + std::to_string(pixel[2]) + " spot=" + std::to_string(spot);
          const Coded c = CompressFrame(frame, w, h);
          ASSERT_FALSE(c.bytes.empty()) << what;
          EXPECT_EQ(c.bytes[0], 4) << what;
          Bytes back;
          ASSERT_TRUE(DecodeFrame(c.bytes, w, h, &back)) << what;
          EXPECT_EQ(back, frame) << what;
        }
      }
}

TEST(CompressContinue, PresetSizeAndFlagsMakeNoDifference) {
  const Bytes frame = MakeFrame(9, 5, Content::kNatural, 3);
  const Coded a = CompressFrame(frame, 9, 5, 0xCD, 0, 0);
  const Coded b = CompressFrame(frame, 9, 5, 0xCD, 0xFFFFFFFF, 0xFFFFFFFF);
  const Coded c = CompressFrame(frame, 9, 5, 0xCD, 1, 12345);
  EXPECT_EQ(a.bytes, b.bytes);
  EXPECT_EQ(a.bytes, c.bytes);
  EXPECT_EQ(a.flags, 16u);
  EXPECT_EQ(b.flags, 16u);
  EXPECT_EQ(c.flags, 16u);
  EXPECT_EQ(a.size, b.size);
}

// The last byte of every stream extent is set, not left as the buffer held it.
TEST(CompressContinue, OutputDoesNotDependOnGarbageInTheBuffer) {
  const int sizes[][2] = {{1, 2}, {4, 2}, {13, 7}, {64, 64}, {160, 90}};
  for (const auto& s : sizes)
    for (Content c : kAllContents) {
      const Bytes frame = MakeFrame(s[0], s[1], c, 11);
      const Coded a = CompressFrame(frame, s[0], s[1], 0x00);
      const Coded b = CompressFrame(frame, s[0], s[1], 0xFF);
      const Coded d = CompressFrame(frame, s[0], s[1], 0x5A);
      EXPECT_EQ(a.bytes, b.bytes) << Case(s[0], s[1], c, 11);
      EXPECT_EQ(a.bytes, d.bytes) << Case(s[0], s[1], c, 11);
    }
}

TEST(CompressContinue, OneInstanceGivesTheSameBytesAfterOtherFrames) {
  const int w = 37, h = 23;
  CodecInst codec;
  ASSERT_EQ(codec.CompressBegin(w, h, 24), 0);
  const size_t cap = MaxCompressedFrameSize(w, h);
  std::vector<Bytes> firsts;
  for (int pass = 0; pass < 2; ++pass) {
    uint32_t seed = 0;
    for (Content c : kAllContents) {
      const Bytes frame = MakeFrame(w, h, c, ++seed);
      Bytes out(cap, static_cast<uint8_t>(pass * 77));
      ICCOMPRESS icc;
      icc.input = frame.data();
      icc.output = out.data();
      ASSERT_EQ(codec.CompressContinue(&icc, 0), 0);
      out.resize(icc.size);
      if (pass == 0) firsts.push_back(out);
      else EXPECT_EQ(out, firsts[seed - 1]) << Case(w, h, c, seed);
    }
  }
}

// The three stream offsets are 32-bit little-endian from byte 0 (noise planes cost a
// byte per pixel, so at 300 x 200 they need more than 16 bits), and each stream's method
// byte shows the zero-run level its plane pays best with.
TEST(KeyFrame, OffsetsAndEachZeroRunLevel) {
  const struct {
    Content c;
    int w, h;
    uint8_t method;
  } cases[] = {{Content::kZeroRunsLevel1, 128, 96, 1},
               {Content::kZeroRunsLevel2, 128, 96, 2},
               {Content::kZeroRunsLevel3, 128, 96, 3},
               {Content::kNoise, 128, 96, 0},
               {Content::kNoise, 300, 200, 0}};
  for (const auto& k : cases) {
    const std::string what = Case(k.w, k.h, k.c, 5);
    const Bytes frame = MakeFrame(k.w, k.h, k.c, 5);
    const Coded c = CompressFrame(frame, k.w, k.h);
    ASSERT_GT(c.bytes.size(), 9u) << what;
    EXPECT_EQ(c.bytes[0], 4) << what;
    const uint32_t off2 = c.bytes[1] | c.bytes[2] << 8 | c.bytes[3] << 16 | uint32_t(c.bytes[4]) << 24;
    const uint32_t off3 = c.bytes[5] | c.bytes[6] << 8 | c.bytes[7] << 16 | uint32_t(c.bytes[8]) << 24;
    ASSERT_LT(off2, off3) << what;
    ASSERT_LT(off3, c.bytes.size()) << what;
    if (k.c == Content::kNoise) {
      EXPECT_GT(off2, 9u + k.w * k.h) << what;
      EXPECT_GT(off3, off2 + k.w * k.h) << what;
    }
    EXPECT_EQ(c.bytes[9], k.method) << what;
    EXPECT_EQ(c.bytes[off2], k.method) << what;
    EXPECT_EQ(c.bytes[off3], k.method) << what;
    Bytes back;
    ASSERT_TRUE(DecodeFrame(c.bytes, k.w, k.h, &back)) << what;
    EXPECT_TRUE(back == frame) << what;
  }
}

// ---------------------------------------------------------------------------------------
// Round trips and the output bound.

// Noise gives the longest streams: four more noise frames per size check that the frame
// fits the bound, allocated exactly.
TEST(RoundTrip, EverySizeUpTo16x16EveryContent) {
  uint32_t seed = 100;
  for (int w = 1; w <= 16; ++w)
    for (int h = 1; h <= 16; ++h) {
      for (Content c : kAllContents) ExpectRoundTrip(w, h, c, ++seed);
      for (int rep = 0; rep < 4; ++rep) ExpectRoundTrip(w, h, Content::kNoise, ++seed);
    }
}

TEST(RoundTrip, EverySizeUpTo40x40SomeContents) {
  uint32_t seed = 5000;
  for (int w = 1; w <= 40; ++w)
    for (int h = 1; h <= 40; ++h) {
      if (w <= 16 && h <= 16) continue;
      for (Content c : {Content::kNoise, Content::kNatural, Content::kHighResiduals})
        ExpectRoundTrip(w, h, c, ++seed);
    }
}

TEST(RoundTrip, SampleOfLargerSizes) {
  const int sizes[][2] = {{41, 97}, {255, 3}, {256, 256}, {257, 1}, {1, 1000}, {333, 111}, {1024, 64}};
  uint32_t seed = 9000;
  for (const auto& s : sizes)
    for (Content c : kAllContents) ExpectRoundTrip(s[0], s[1], c, ++seed);
}

TEST(RoundTrip, LargeFrames) {
  for (Content c : {Content::kNoise, Content::kNatural, Content::kZeroRunsLevel2})
    ExpectRoundTrip(640, 480, c, 42);
  ExpectRoundTrip(1920, 1080, Content::kNatural, 43);
}

TEST(MaxCompressedFrameSize, GrowsWithTheFrameAndRefusesWhatCannotBeCoded) {
  EXPECT_GE(MaxCompressedFrameSize(1, 1), 4u);
  EXPECT_GT(MaxCompressedFrameSize(1920, 1080), size_t(1920) * 1080 * 3);
  EXPECT_EQ(MaxCompressedFrameSize(0, 10), 0u);
  EXPECT_EQ(MaxCompressedFrameSize(10, -1), 0u);
  EXPECT_EQ(MaxCompressedFrameSize(4097, 2048), 0u);
  EXPECT_GT(MaxCompressedFrameSize(4096, 2048), 0u);
}

TEST(CompressBegin, RefusesGeometryTheCoderCannotTake) {
  const struct {
    int w, h, bits;
  } bad[] = {{0, 1, 24}, {1, 0, 24}, {-5, 5, 24}, {4097, 2048, 24}, {65536, 65536, 24},
             {8, 8, 32}, {8, 8, 16}};
  for (const auto& b : bad) {
    CodecInst codec;
    EXPECT_NE(codec.CompressBegin(b.w, b.h, b.bits), 0) << "w=" << b.w << " h=" << b.h;
    EXPECT_EQ(codec.work_buffer, nullptr);
    EXPECT_EQ(codec.residual_buffer, nullptr);
  }
  CodecInst codec;
  EXPECT_EQ(codec.CompressBegin(4, 2, 24), 0);
  EXPECT_EQ(codec.length, 24u);
  EXPECT_EQ(codec.CompressEnd(), 0);
  EXPECT_EQ(codec.work_buffer, nullptr);
  EXPECT_EQ(codec.CompressEnd(), 0);
}

// ---------------------------------------------------------------------------------------
// The decoder on damaged frames: false or a frame, never a fault.

TEST(FrameDecoder, BeginRefusesBadGeometry) {
  FrameDecoder dec;
  EXPECT_FALSE(dec.Begin(0, 5));
  EXPECT_FALSE(dec.Begin(5, -1));
  EXPECT_FALSE(dec.Begin(4097, 2048));
  EXPECT_FALSE(dec.Begin(1 << 30, 1 << 30));
  const uint8_t solid[2] = {5, 1};
  uint8_t out[3];
  EXPECT_FALSE(dec.Decode(solid, 2, out)) << "no geometry yet";
  EXPECT_TRUE(dec.Begin(1, 1));
  EXPECT_TRUE(dec.Decode(solid, 2, out));
}

TEST(FrameDecoder, UnknownTypeBytes) {
  FrameDecoder dec;
  ASSERT_TRUE(dec.Begin(4, 2));
  uint8_t out[24];
  for (int t = 0; t < 256; ++t) {
    if (t >= 4 && t <= 6) continue;
    Bytes in = kGolden4x2Coded;
    in[0] = static_cast<uint8_t>(t);
    EXPECT_FALSE(dec.Decode(in.data(), in.size(), out)) << "type " << t;
  }
  EXPECT_FALSE(dec.Decode(kGolden4x2Coded.data(), 0, out));
}

TEST(FrameDecoder, SolidFramesNeedTheirBytesAndTolerateMore) {
  FrameDecoder dec;
  ASSERT_TRUE(dec.Begin(2, 1));
  uint8_t out[6];
  const uint8_t five[3] = {5, 9, 0xEE};
  const uint8_t six[5] = {6, 1, 2, 3, 0xEE};
  EXPECT_FALSE(dec.Decode(five, 1, out));
  ASSERT_TRUE(dec.Decode(five, 2, out));
  EXPECT_EQ(Bytes(out, out + 6), Bytes(6, 9));
  EXPECT_TRUE(dec.Decode(five, 3, out));
  for (size_t len = 1; len < 4; ++len) EXPECT_FALSE(dec.Decode(six, len, out)) << len;
  ASSERT_TRUE(dec.Decode(six, 4, out));
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{1, 2, 3, 1, 2, 3}));
  EXPECT_TRUE(dec.Decode(six, 5, out));
}

TEST(FrameDecoder, OffsetsOutOfOrderOrOutOfRange) {
  const struct {
    uint32_t off2, off3;
  } cases[] = {{0, 39}, {8, 39}, {39, 23}, {23, 57}, {57, 57}, {23, 0xFFFFFFFF},
               {0xFFFFFFFF, 0xFFFFFFFF}, {0x80000000u, 39}, {9, 8}};
  FrameDecoder dec;
  ASSERT_TRUE(dec.Begin(4, 2));
  uint8_t out[24];
  for (const auto& c : cases) {
    Bytes in = kGolden4x2Coded;
    for (int k = 0; k < 4; ++k) {
      in[1 + k] = static_cast<uint8_t>(c.off2 >> (8 * k));
      in[5 + k] = static_cast<uint8_t>(c.off3 >> (8 * k));
    }
    EXPECT_FALSE(dec.Decode(in.data(), in.size(), out)) << "off2=" << c.off2 << " off3=" << c.off3;
  }
  // Offsets inside the frame but off the stream boundaries: whatever the streams then
  // decode to, the decoder stays inside its buffers.
  for (uint32_t off2 = 9; off2 <= 56; ++off2)
    for (uint32_t off3 = off2; off3 <= 56; ++off3) {
      Bytes in = kGolden4x2Coded;
      in[1] = static_cast<uint8_t>(off2);
      in[5] = static_cast<uint8_t>(off3);
      (void)dec.Decode(in.data(), in.size(), out);
    }
}

// Every cut and every bit flip of the golden frame and of three coded 9 x 7 frames: the
// decoder fails or gives a frame, and never reads outside the exact-size input.
TEST(FrameDecoder, EveryCutAndBitFlipOfSmallFrames) {
  for (size_t len = 0; len < kGolden4x2Coded.size(); ++len) {
    Bytes back;
    const bool ok = DecodeFrame(Bytes(kGolden4x2Coded.begin(), kGolden4x2Coded.begin() + long(len)), 4, 2, &back);
    // Cutting into the header or into streams 1 and 2 moves an offset past the end.
    if (len < 40) {
      EXPECT_FALSE(ok) << "len=" << len;
    }
  }
  std::vector<std::pair<Bytes, std::pair<int, int>>> frames;
  frames.push_back({kGolden4x2Coded, {4, 2}});
  uint32_t seed = 300;
  for (Content c : {Content::kNatural, Content::kZeroRunsLevel1, Content::kHighResiduals}) {
    const Bytes f = MakeFrame(9, 7, c, ++seed);
    frames.push_back({CompressFrame(f, 9, 7).bytes, {9, 7}});
  }
  for (const auto& [coded, wh] : frames) {
    for (size_t len = 0; len < coded.size(); ++len) {
      Bytes back;
      (void)DecodeFrame(Bytes(coded.begin(), coded.begin() + long(len)), wh.first, wh.second, &back);
    }
    for (size_t bit = 0; bit < coded.size() * 8; ++bit) {
      Bytes in = coded;
      in[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      Bytes back;
      (void)DecodeFrame(in, wh.first, wh.second, &back);  // must simply not fault
    }
  }
}

TEST(FrameDecoder, RandomBytesAfterAKeyHeader) {
  std::mt19937 rng(99);
  FrameDecoder dec;
  ASSERT_TRUE(dec.Begin(6, 5));
  std::unique_ptr<uint8_t[]> out(new uint8_t[90]);
  for (int iter = 0; iter < 3000; ++iter) {
    const size_t len = 9 + rng() % 200;
    std::unique_ptr<uint8_t[]> in(new uint8_t[len]);
    for (size_t i = 0; i < len; ++i) in[i] = static_cast<uint8_t>(rng());
    in[0] = 4;
    const uint32_t off2 = 9 + rng() % (len - 8);
    const uint32_t off3 = off2 + rng() % (len - off2 + 1);
    for (int k = 0; k < 4; ++k) {
      in[1 + k] = static_cast<uint8_t>(off2 >> (8 * k));
      in[5 + k] = static_cast<uint8_t>(off3 >> (8 * k));
    }
    for (size_t s : {size_t(9), size_t(off2), size_t(off3)})
      if (s < len) in[s] = static_cast<uint8_t>(rng() % 5);
    (void)dec.Decode(in.get(), len, out.get());
  }
}

}  // namespace
