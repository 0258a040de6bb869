// Frame codec benchmarks on 1920x1080 frames: the whole frame compressed and decoded, the
// prediction stage both ways, and each stage of the entropy coder over one frame's planes. Two
// kinds of content: a synthetic photograph panned across the frames with sensor-like noise, and
// pure noise. Rates are in bytes of uncompressed frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "codec/codec.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * 3;
constexpr int kFrames = 4;
constexpr int kPanPixels = 6;  // per frame

using Bytes = std::vector<uint8_t>;

// Smooth colour fields, soft-edged blobs and a patch of fine texture, wider than a frame
// so that successive frames can pan across it.
Bytes MakePhotograph(int width, int height, std::mt19937& rng) {
  struct Blob {
    double x, y, r, soft;
    double colour[3];
  };
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<Blob> blobs(14);
  for (auto& b : blobs) {
    b.x = u(rng) * width;
    b.y = u(rng) * height;
    b.r = 60 + u(rng) * 300;
    b.soft = 4 + u(rng) * 60;
    for (double& c : b.colour) c = u(rng) * 160 - 80;
  }
  Bytes img(size_t(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      double px[3];
      for (int k = 0; k < 3; ++k)
        px[k] = 110 + 45 * std::sin(x * 0.0023 + k * 1.3) + 35 * std::cos(y * 0.0041 - k * 0.7);
      for (const auto& b : blobs) {
        const double d = std::hypot(x - b.x, y - b.y);
        const double w = std::clamp((b.r - d) / b.soft, 0.0, 1.0);
        for (int k = 0; k < 3; ++k) px[k] += w * b.colour[k];
      }
      if (x > width / 2 && y > height / 3) {  // fabric-like texture in one region
        const double t = 9 * std::sin(x * 0.7) * std::sin(y * 0.55) + 5 * std::sin((x + y) * 0.21);
        for (double& v : px) v += t;
      }
      uint8_t* out = &img[(size_t(y) * width + x) * 3];
      for (int k = 0; k < 3; ++k) out[k] = static_cast<uint8_t>(std::clamp(px[k], 0.0, 255.0));
    }
  return img;
}

struct Frames {
  std::vector<Bytes> natural;
  std::vector<Bytes> noise;
};

const Frames& TestFrames() {
  static const Frames frames = [] {
    Frames f;
    std::mt19937 rng(20261207);
    const int canvas_width = kWidth + kPanPixels * kFrames;
    const Bytes photo = MakePhotograph(canvas_width, kHeight, rng);
    std::normal_distribution<double> sensor(0.0, 1.2);
    for (int i = 0; i < kFrames; ++i) {
      Bytes frame(kFrameBytes);
      for (int y = 0; y < kHeight; ++y) {
        const uint8_t* src = &photo[(size_t(y) * canvas_width + size_t(i) * kPanPixels) * 3];
        uint8_t* dst = &frame[size_t(y) * kWidth * 3];
        for (int b = 0; b < kWidth * 3; ++b) {
          const double v = src[b] + std::round(sensor(rng));
          dst[b] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
        }
      }
      f.natural.push_back(std::move(frame));
      Bytes noise(kFrameBytes);
      for (auto& b : noise) b = static_cast<uint8_t>(rng());
      f.noise.push_back(std::move(noise));
    }
    return f;
  }();
  return frames;
}

const std::vector<Bytes>& Content(bool natural) {
  return natural ? TestFrames().natural : TestFrames().noise;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "codec_bench: %s\n", what);
  std::abort();
}

// Compresses every frame once and checks that it decodes to itself.
std::vector<Bytes> CompressedAndChecked(const std::vector<Bytes>& frames) {
  CodecInst codec;
  if (codec.CompressBegin(kWidth, kHeight, 24) != 0) Fail("CompressBegin refused 1920x1080");
  FrameDecoder decoder;
  if (!decoder.Begin(kWidth, kHeight)) Fail("FrameDecoder::Begin refused 1920x1080");
  const size_t cap = MaxCompressedFrameSize(kWidth, kHeight);
  std::vector<Bytes> coded;
  Bytes back(kFrameBytes);
  for (const Bytes& frame : frames) {
    Bytes out(cap);
    ICCOMPRESS icc;
    icc.input = frame.data();
    icc.output = out.data();
    codec.CompressContinue(&icc, 0);
    if (icc.size > cap) Fail("compressed frame larger than MaxCompressedFrameSize");
    out.resize(icc.size);
    if (!decoder.Decode(out.data(), out.size(), back.data()) || back != frame)
      Fail("round trip mismatch: the decoded frame differs from the input");
    coded.push_back(std::move(out));
  }
  return coded;
}

void BM_Compress(benchmark::State& state, bool natural) {
  const std::vector<Bytes>& frames = Content(natural);
  const std::vector<Bytes> coded = CompressedAndChecked(frames);
  size_t coded_bytes = 0;
  for (const Bytes& c : coded) coded_bytes += c.size();

  CodecInst codec;
  codec.CompressBegin(kWidth, kHeight, 24);
  std::unique_ptr<uint8_t[]> out(new uint8_t[MaxCompressedFrameSize(kWidth, kHeight)]);
  ICCOMPRESS icc;
  icc.output = out.get();
  size_t i = 0;
  for (auto _ : state) {
    icc.input = frames[i++ % frames.size()].data();
    codec.CompressContinue(&icc, 0);
    benchmark::DoNotOptimize(icc.size);
    benchmark::DoNotOptimize(out.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
  state.counters["ratio"] = double(kFrameBytes) * frames.size() / double(coded_bytes);
}

void BM_Decode(benchmark::State& state, bool natural) {
  const std::vector<Bytes> coded = CompressedAndChecked(Content(natural));
  FrameDecoder decoder;
  if (!decoder.Begin(kWidth, kHeight)) Fail("FrameDecoder::Begin refused 1920x1080");
  std::unique_ptr<uint8_t[]> out(new uint8_t[kFrameBytes]);
  size_t i = 0;
  for (auto _ : state) {
    const Bytes& c = coded[i++ % coded.size()];
    const bool ok = decoder.Decode(c.data(), c.size(), out.get());
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}

void BM_DeEntropy(benchmark::State& state, bool natural) {
  const std::vector<Bytes>& frames = Content(natural);
  Bytes planes(kFrameBytes), back(kFrameBytes), scratch(PredictScratchBytes(kWidth));
  DeEntropy(frames[0].data(), planes.data(), kWidth, kHeight, scratch.data());
  ReEntropy(planes.data(), back.data(), kWidth, kHeight, scratch.data());
  if (back != frames[0]) Fail("prediction round trip mismatch");
  size_t i = 0;
  for (auto _ : state) {
    DeEntropy(frames[i++ % frames.size()].data(), planes.data(), kWidth, kHeight, scratch.data());
    benchmark::DoNotOptimize(planes.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}

void BM_ReEntropy(benchmark::State& state, bool natural) {
  const std::vector<Bytes>& frames = Content(natural);
  Bytes scratch(PredictScratchBytes(kWidth)), back(kFrameBytes);
  std::vector<Bytes> residuals;
  for (const Bytes& f : frames) {
    Bytes planes(kFrameBytes);
    DeEntropy(f.data(), planes.data(), kWidth, kHeight, scratch.data());
    ReEntropy(planes.data(), back.data(), kWidth, kHeight, scratch.data());
    if (back != f) Fail("prediction round trip mismatch");
    residuals.push_back(std::move(planes));
  }
  size_t i = 0;
  for (auto _ : state) {
    ReEntropy(residuals[i++ % residuals.size()].data(), back.data(), kWidth, kHeight,
              scratch.data());
    benchmark::DoNotOptimize(back.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}

// The residual planes of the first frame, as KeyCompress hands them to the entropy coder.
const std::vector<Bytes>& Planes(bool natural) {
  static std::vector<Bytes> planes[2];
  std::vector<Bytes>& p = planes[natural ? 1 : 0];
  if (p.empty()) {
    Bytes all(kFrameBytes), scratch(PredictScratchBytes(kWidth));
    DeEntropy(Content(natural)[0].data(), all.data(), kWidth, kHeight, scratch.data());
    const size_t n = kFrameBytes / 3;
    for (int c = 0; c < 3; ++c) p.emplace_back(all.begin() + c * n, all.begin() + (c + 1) * n);
  }
  return p;
}

// Stages of the entropy coder, each over the three planes of one frame.
void BM_TestRLE(benchmark::State& state, bool natural) {
  const std::vector<Bytes>& planes = Planes(natural);
  for (auto _ : state) {
    for (const Bytes& p : planes) {
      const int level = zero::testRLE(p.data(), static_cast<int>(p.size()), 2073);
      benchmark::DoNotOptimize(level);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}

void BM_RLE(benchmark::State& state, bool natural) {
  const std::vector<Bytes>& planes = Planes(natural);
  Bytes out(planes[0].size() * 2 + 16), back(planes[0].size());
  for (const Bytes& p : planes) {
    const int k = zero::RLE(p.data(), out.data(), static_cast<int>(p.size()), 1);
    zero::deRLE(out.data(), size_t(k), back.data(), static_cast<int>(p.size()), 1);
    if (back != p) Fail("zero-run round trip mismatch");
  }
  for (auto _ : state) {
    for (const Bytes& p : planes) {
      const int k = zero::RLE(p.data(), out.data(), static_cast<int>(p.size()), 1);
      benchmark::DoNotOptimize(k);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}

// One channel stream at a time: zero-run coding, counting, the table and the range code.
void BM_Compact(benchmark::State& state, bool natural) {
  const std::vector<Bytes>& planes = Planes(natural);
  const uint32_t n = static_cast<uint32_t>(planes[0].size());
  Compress coder;
  coder.InitCompressBuffers(n + n / 2 + 3);
  Bytes out(MaxChannelStreamBytes(n)), back(n);
  for (const Bytes& p : planes) {
    const unsigned int m = coder.compact(p.data(), out.data(), n);
    if (!coder.uncompact(out.data(), m, back.data(), n) || back != p)
      Fail("channel stream round trip mismatch");
  }
  for (auto _ : state) {
    for (const Bytes& p : planes) benchmark::DoNotOptimize(coder.compact(p.data(), out.data(), n));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}

void BM_Uncompact(benchmark::State& state, bool natural) {
  const std::vector<Bytes>& planes = Planes(natural);
  const uint32_t n = static_cast<uint32_t>(planes[0].size());
  Compress coder;
  coder.InitCompressBuffers(n + n / 2 + 3);
  std::vector<Bytes> streams;
  for (const Bytes& p : planes) {
    Bytes out(MaxChannelStreamBytes(n));
    out.resize(coder.compact(p.data(), out.data(), n));
    streams.push_back(std::move(out));
  }
  Bytes back(n);
  for (auto _ : state) {
    for (const Bytes& st : streams) {
      const bool ok = coder.uncompact(st.data(), st.size(), back.data(), n);
      benchmark::DoNotOptimize(ok);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}

BENCHMARK_CAPTURE(BM_Compress, natural_1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compress, noise_1080p, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, natural_1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, noise_1080p, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DeEntropy, natural_1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReEntropy, natural_1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TestRLE, natural_1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RLE, natural_1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compact, natural_1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Uncompact, natural_1080p, true)->Unit(benchmark::kMillisecond);

}  // namespace
