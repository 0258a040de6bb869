// Frame compression and decoding: golden frames, every size to 40 x 40 and larger ones by
// hash and back, and the decoder on damaged frames against a plain decoder kept here.
#include "codec/codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/test_data.h"

namespace {

using testbytes::Bytes;
using testdata::Kind;

std::string Case(int w, int h, const std::string& what) {
  return "w=" + std::to_string(w) + " h=" + std::to_string(h) + " " + what;
}

// Compresses into a heap block of exactly MaxCompressedFrameSize bytes filled with garbage
// (ASan sees a write past the bound); the record's flags and size start as garbage too.
Bytes Compress1(CodecInst& codec, const Bytes& frame, int w, int h) {
  const size_t cap = MaxCompressedFrameSize(w, h);
  std::unique_ptr<uint8_t[]> out(new uint8_t[cap]);
  std::memset(out.get(), 0xCD, cap);
  ICCOMPRESS icc;
  icc.flags = icc.size = 0xFFFFFFFF, icc.input = frame.data(), icc.output = out.get();
  EXPECT_TRUE(codec.CompressContinue(&icc, 0) == 0 && icc.flags == kKeyFrameFlag &&
              icc.size <= cap);
  return Bytes(out.get(), out.get() + std::min<size_t>(icc.size, cap));
}

Bytes Compress1(const Bytes& frame, int w, int h) {
  CodecInst codec;
  EXPECT_EQ(codec.CompressBegin(w, h, 24), 0);
  return Compress1(codec, frame, w, h);
}

// The decoded frame from an exact-size copy of the input; empty when it is refused.
Bytes Decode1(FrameDecoder& dec, const Bytes& in, size_t frame_bytes) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[in.empty() ? 1 : in.size()]),
      out(new uint8_t[frame_bytes]);
  std::copy(in.begin(), in.end(), copy.get());
  return dec.Decode(copy.get(), in.size(), out.get()) ? Bytes(out.get(), out.get() + frame_bytes)
                                                      : Bytes{};
}

// The plain decoder: Compress::uncompact on each stream's bytes, then ReEntropy.
Bytes PlainDecode(const Bytes& in, int w, int h) {
  const size_t n = size_t(w) * h;
  if (in.size() >= 2 && in[0] == 5) return Bytes(3 * n, in[1]);
  Bytes out(3 * n), planes(3 * n), scratch(PredictScratchBytes(w));
  for (size_t i = 0; in.size() >= 4 && in[0] == 6 && i < out.size(); ++i) out[i] = in[1 + i % 3];
  if (in.size() >= 4 && in[0] == 6) return out;
  if (in.size() < 9 || in[0] != 4) return {};
  const size_t bounds[4] = {9, testbytes::le32(in, 1), testbytes::le32(in, 5), in.size()};
  if (bounds[1] < 9 || bounds[2] < bounds[1] || bounds[2] > in.size()) return {};
  Compress reader;
  reader.InitCompressBuffers(uint32_t(3 * n + 16));
  for (int c = 0; c < 3; ++c)
    if (!reader.uncompact(in.data() + bounds[c], bounds[c + 1] - bounds[c], &planes[c * n],
                          uint32_t(n)))
      return {};
  ReEntropy(planes.data(), out.data(), w, h, scratch.data());
  return out;
}

// One codec instance (each frame also follows others): folds each coded frame into `all`, decodes
// it.
void ExpectRoundTrips(int w, int h, const std::vector<Bytes>& frames, uint64_t* all) {
  CodecInst codec;
  FrameDecoder dec;
  ASSERT_TRUE(codec.CompressBegin(w, h, 24) == 0 && dec.Begin(w, h)) << Case(w, h, "");
  for (size_t i = 0; i < frames.size(); ++i) {
    const Bytes coded = Compress1(codec, frames[i], w, h);
    *all = testbytes::Fnv(coded, *all);
    ASSERT_EQ(Decode1(dec, coded, frames[i].size()), frames[i])
        << Case(w, h, "frame " + std::to_string(i));
  }
}

// The 4 x 2 example: three planes of method 0, extents 14, 16 and 17 (each last byte 0).
const Bytes kGolden4x2 = {10, 20, 30, 12, 22, 35, 15,  25,  40, 15,  25,  40,
                          11, 21, 31, 13, 24, 36, 200, 100, 50, 200, 100, 50};
const Bytes kGolden4x2Coded = {0x04, 0x17, 0x00, 0x00, 0x00, 0x27, 0x00, 0x00, 0x00,  //
                               0x00, 0x3B, 0x5D, 0xCD, 0x86, 0x19, 0xBB, 0x0C, 0xC4,
                               0xA7, 0x68, 0x00, 0x00, 0x00,  //
                               0x00, 0x76, 0x76, 0xC6, 0x0D, 0xCE, 0xCD, 0x86, 0xD0,
                               0xD1, 0x14, 0xC0, 0x00, 0x00, 0x00, 0x00,  //
                               0x00, 0x33, 0xD9, 0xB3, 0x9B, 0x0D, 0xAB, 0x73, 0xF3,
                               0x00, 0xB1, 0x91, 0x70, 0x00, 0x00, 0x00, 0x00};

TEST(Codec, GoldenFrames) {
  const struct {
    int w, h;
    Bytes frame, coded;
  } kCases[] = {{4, 2, kGolden4x2, kGolden4x2Coded},
                {1, 1, {7, 7, 7}, {5, 7}},
                {1, 1, {1, 2, 3}, {6, 1, 2, 3}},
                {9, 1, Bytes(27, 0), {5, 0}},
                {3, 3, Bytes(27, 255), {5, 255}}};
  for (const auto& k : kCases) {
    FrameDecoder dec;
    ASSERT_TRUE(dec.Begin(k.w, k.h));
    EXPECT_EQ(Compress1(k.frame, k.w, k.h), k.coded) << Case(k.w, k.h, "");
    EXPECT_EQ(Decode1(dec, k.coded, k.frame.size()), k.frame) << Case(k.w, k.h, "");
  }
}

// Every size to 40 x 40 (noise; to 16 x 16 every kind, else one in turn; to 12 x 12 one colour
// but one byte in pixel 0, 8, 15, 16, 17 or the last), larger ones to 1920 x 1080: back, and the
// hash recorded when each coded frame matched the plain path (prediction, Compress::compact).
TEST(Codec, EverySizeTo40x40AndLarger) {
  uint32_t seed = 0;
  uint64_t all = 0;
  for (int w = 1; w <= 40; ++w)
    for (int h = 1; h <= 40; ++h) {
      std::vector<Bytes> frames = {testdata::Frame(Kind::kNoise, w, h, ++seed)};
      for (int k = 0; k < testdata::kKinds; ++k)
        if ((w <= 16 && h <= 16) || k == (w * 41 + h) % testdata::kKinds)
          frames.push_back(testdata::Frame(testdata::KindAt(k), w, h, ++seed));
      const size_t n = size_t(w) * h;
      for (size_t p : {size_t(0), size_t(8), size_t(15), size_t(16), size_t(17), n - 1})
        for (const Bytes& pixel : {Bytes{50, 50, 50}, Bytes{1, 2, 3}})
          if (n > 1 && p < n && w <= 12 && h <= 12) {
            Bytes& f = frames.emplace_back(3 * n);
            for (size_t i = 0; i < 3 * n; ++i)
              f[i] = uint8_t(pixel[i % 3] ^ (i == 3 * p + p % 3 ? 9 : 0));
          }
      ExpectRoundTrips(w, h, frames, &all);
    }
  for (const auto& [w, h] :
       {std::pair{41, 97}, {255, 3}, {1, 1000}, {333, 111}, {1024, 64}, {300, 200}}) {
    std::vector<Bytes> frames;
    for (int k = 0; k < testdata::kKinds; ++k)
      frames.push_back(testdata::Frame(testdata::KindAt(k), w, h, ++seed));
    ExpectRoundTrips(w, h, frames, &all);
  }
  ExpectRoundTrips(1920, 1080, {testdata::Frame(Kind::kRamp, 1920, 1080, 1)}, &all);
  EXPECT_EQ(all, 0x7a50942767c7a1b2ull) << "the coded frames";
}

TEST(Codec, GeometryTheCoderCannotTakeAndTheLargestItCan) {
  const int kCases[][4] = {{0, 1, 24, 0},       {1, 0, 24, 0},         {-5, 5, 24, 0},
                           {4097, 2048, 24, 0}, {65536, 65536, 24, 0}, {1 << 30, 1 << 30, 24, 0},
                           {8, 8, 32, 0},       {8, 8, 16, 0},         {4096, 2048, 24, 1}};
  for (const auto& b : kCases) {
    CodecInst codec;
    FrameDecoder dec;
    EXPECT_EQ(codec.CompressBegin(b[0], b[1], b[2]) == 0, b[3] == 1)
        << b[0] << "x" << b[1] << "," << b[2];
    const bool geometry_ok = b[3] == 1 || b[2] != 24;  // 8 x 8 is, at any depth
    EXPECT_EQ(std::make_pair(MaxCompressedFrameSize(b[0], b[1]) > 0, dec.Begin(b[0], b[1])),
              std::make_pair(geometry_ok, geometry_ok))
        << Case(b[0], b[1], "");
  }
  FrameDecoder fresh;
  EXPECT_FALSE(fresh.Decode(kGolden4x2Coded.data(), 2, std::vector<uint8_t>(3).data()))
      << "no geometry yet";
}

// Damaged frames: refused exactly as the plain decoder refuses, else the same frame; never a
// read outside the exact-size input.
TEST(Codec, DamagedFramesDecodeAsThePlainDecoder) {
  const auto check = [](FrameDecoder& dec, const Bytes& in, int w, int h, const std::string& what) {
    ASSERT_EQ(Decode1(dec, in, size_t(w) * h * 3), PlainDecode(in, w, h)) << Case(w, h, what);
  };
  FrameDecoder dec4x2;
  ASSERT_TRUE(dec4x2.Begin(4, 2));
  // Every type byte; solid frames one byte short and longer; offsets out of order or range.
  for (int t = 0; t < 256; ++t)
    check(dec4x2, Bytes{uint8_t(t), 1, 2, 3, 4, 5, 6, 7, 8, 9}, 4, 2, "type " + std::to_string(t));
  for (const Bytes& in :
       {Bytes{}, Bytes{5}, Bytes{6, 1, 2}, Bytes{5, 9}, Bytes{6, 1, 2, 3}, Bytes{6, 1, 2, 3, 0xEE}})
    check(dec4x2, in, 4, 2, "solid of " + std::to_string(in.size()));
  for (uint32_t off2 : {0u, 8u, 9u, 23u, 39u, 57u, 0x80000000u, 0xFFFFFFFFu})
    for (uint32_t off3 : {0u, 8u, 23u, 39u, 56u, 57u, 0xFFFFFFFFu}) {
      Bytes in = kGolden4x2Coded;
      testbytes::put32(in, 1, off2), testbytes::put32(in, 5, off3);
      check(dec4x2, in, 4, 2, "off2=" + std::to_string(off2) + " off3=" + std::to_string(off3));
    }
  // Every cut and bit flip of the golden frame and of coded frames of several kinds.
  std::vector<std::pair<Bytes, int>> coded = {{kGolden4x2Coded, 4}};
  for (Kind k : {Kind::kRamp, Kind::kRuns1, Kind::kRuns3, Kind::kHigh, Kind::kNoise})
    coded.push_back({Compress1(testdata::Frame(k, 37, 5, 7), 37, 5), 37});
  for (const auto& [frame, w] : coded) {
    const int h = w == 4 ? 2 : 5;
    FrameDecoder dec;
    ASSERT_TRUE(dec.Begin(w, h));
    for (size_t len = 0; len <= frame.size(); ++len)
      check(dec, Bytes(frame.begin(), frame.begin() + long(len)), w, h,
            "len=" + std::to_string(len));
    for (size_t bit = 0; bit < frame.size() * 8; bit += w == 4 ? 1 : 5) {
      Bytes in = frame;
      in[bit / 8] ^= uint8_t(1u << (bit % 8));
      check(dec, in, w, h, "bit=" + std::to_string(bit));
    }
  }
}

}  // namespace
