#include "tests/support/test_data.h"

#include <algorithm>
#include <random>

#include "codec/codec.h"
#include "tests/support/movie_writer.h"

namespace testdata {

const char* Name(Kind kind) {
  static const char* const kNames[kKinds] = {"noise", "ramp", "flat", "solid", "solid-but-last", "few-values",
                                             "sparse", "runs-1", "runs-2", "runs-3", "high"};
  return kNames[static_cast<int>(kind)];
}

Bytes Plane(Kind kind, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes p;
  const auto zeros_then_value = [&](size_t zeros) {
    p.insert(p.end(), zeros, 0);
    p.push_back(uint8_t(1 + rng() % 255));
  };
  while (p.size() < n) {
    const uint32_t x = rng() % 100;
    switch (kind) {
      case Kind::kNoise: p.push_back(uint8_t(rng())); break;
      case Kind::kRamp: p.push_back(uint8_t(100 + p.size() * 7 / (n + 1) + rng() % 3)); break;
      case Kind::kFlat: {
        const size_t run = 1 + rng() % 300;
        p.insert(p.end(), run, uint8_t(rng()));
        break;
      }
      case Kind::kSolid: p.assign(n, uint8_t(seed * 37)); break;
      case Kind::kSolidButLast: p.assign(n, 4), p.back() = 9; break;
      case Kind::kFewValues: p.push_back(uint8_t("\xFF\x00\x01\xFF\x02\xFF\x80"[rng() % 7])); break;
      case Kind::kSparse: p.push_back(x < 90 ? 0 : uint8_t(rng())); break;
      case Kind::kRuns1: zeros_then_value(x < 30 ? x % 4 : 200 + rng() % 900); break;
      case Kind::kRuns2: zeros_then_value(x < 70 ? 1 : x < 75 ? 20 : 0); break;
      case Kind::kRuns3: zeros_then_value(x < 45 ? 1 : x < 85 ? 2 : 20); break;
      case Kind::kHigh: p.push_back(uint8_t(128 + rng() % 128)); break;
    }
  }
  p.resize(n);
  return p;
}

Bytes Frame(Kind kind, int width, int height, uint32_t seed) {
  const size_t n = size_t(width) * size_t(height);
  std::mt19937 rng(seed);
  Bytes f(3 * n);
  switch (kind) {
    case Kind::kNoise:
      for (auto& b : f) b = uint8_t(rng());
      return f;
    case Kind::kRamp:
      return testmov::make_frame(width, height, seed, 3);
    case Kind::kFlat: {
      const int bw = 1 + int(rng() % 9), bh = 1 + int(rng() % 9);
      for (size_t i = 0; i < f.size(); ++i) {
        const size_t x = i / 3 % size_t(width), y = i / 3 / size_t(width);
        f[i] = uint8_t(((x / bw + y / bh) % 3) * 60 + i % 3 * 20);
      }
      return f;
    }
    case Kind::kSolid:
    case Kind::kSolidButLast: {
      const uint8_t grey = uint8_t(rng());
      const uint8_t px[3] = {grey, uint8_t(seed % 2 ? grey + 1 : grey), grey};
      for (size_t i = 0; i < f.size(); ++i) f[i] = px[i % 3];
      if (kind == Kind::kSolidButLast) f.back() ^= 0x40;
      return f;
    }
    default: {
      Bytes planes;
      for (uint32_t c = 0; c < 3; ++c) {
        const Bytes p = Plane(kind, n, seed * 3 + c);
        planes.insert(planes.end(), p.begin(), p.end());
      }
      Bytes scratch(PredictScratchBytes(width));
      ReEntropy(planes.data(), f.data(), width, height, scratch.data());
      return f;
    }
  }
}

}  // namespace testdata

namespace testmov {

std::vector<uint8_t> make_frame(int width, int height, uint32_t seed, int noise) {
  if (width <= 0 || height <= 0) return {};
  std::vector<uint8_t> frame(size_t(width) * size_t(height) * 3);
  uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t base[3] = {uint32_t(int64_t{x} * 256 / width) + seed * 8,
                                uint32_t(int64_t{y} * 256 / height) + seed * 5,
                                uint32_t((int64_t{x} + y) * 128 / (int64_t{width} + height)) + 128 - seed * 11};
      for (int c = 0; c < 3; ++c) {
        int v = int(base[c] & 0xFF);
        if (noise > 0) {
          state ^= state << 13;
          state ^= state >> 17;
          state ^= state << 5;
          v += int(state % (2u * noise + 1)) - noise;
        }
        frame[i++] = uint8_t(std::clamp(v, 0, 255));
      }
    }
  }
  return frame;
}

}  // namespace testmov
