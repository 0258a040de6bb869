#include "tests/support/test_data.h"

#include <algorithm>
#include <random>

#include "codec/codec.h"
#include "tests/support/movie_writer.h"

namespace testdata {

const char* Name(Kind kind) {
  static const char* const kNames[kKinds] = {"noise",          "ramp",       "flat",   "solid",
                                             "solid-but-last", "few-values", "sparse", "runs-1",
                                             "runs-2",         "runs-3",     "high"};
  return kNames[int(kind)];
}

Bytes Plane(Kind kind, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes p;
  while (p.size() < n) {
    const uint32_t x = rng() % 100;
    size_t zeros = 0;  // for the run kinds: zeros, then a non-zero byte
    switch (kind) {
      case Kind::kNoise:
        p.push_back(uint8_t(rng()));
        continue;
      case Kind::kRamp:
        p.push_back(uint8_t(100 + p.size() * 7 / (n + 1) + x % 3));
        continue;
      case Kind::kFlat:
        p.insert(p.end(), 1 + x * 3, uint8_t(seed + p.size()));
        continue;
      case Kind::kSolid:
        p.assign(n, uint8_t(seed * 37));
        continue;
      case Kind::kSolidButLast:
        p.assign(n, 4), p.back() = 9;
        continue;
      case Kind::kFewValues:
        p.push_back(uint8_t("\xFF\x00\x01\xFF\x02\xFF\x80"[x % 7]));
        continue;
      case Kind::kSparse:
        p.push_back(x < 90 ? 0 : uint8_t(rng()));
        continue;
      case Kind::kHigh:
        p.push_back(uint8_t(128 + x % 100 + rng() % 28));
        continue;
      case Kind::kRuns1:
        zeros = x < 30 ? x % 4 : 200 + x * 9;
        break;
      case Kind::kRuns2:
        zeros = x < 70 ? 1 : x < 75 ? 20 : 0;
        break;
      case Kind::kRuns3:
        zeros = x < 45 ? 1 : x < 85 ? 2 : 20;
        break;
    }
    p.insert(p.end(), zeros, 0);
    p.push_back(uint8_t(1 + rng() % 255));
  }
  p.resize(n);
  return p;
}

Bytes Frame(Kind kind, int width, int height, uint32_t seed) {
  const size_t n = size_t(width) * size_t(height), w = size_t(width);
  std::mt19937 rng(seed);
  Bytes f(3 * n), planes, scratch(PredictScratchBytes(width));
  const uint8_t grey = uint8_t(rng()), px[3] = {grey, uint8_t(seed % 2 ? grey + 1 : grey), grey};
  const size_t bw = 1 + rng() % 9, bh = 1 + rng() % 9;  // the blocks of kFlat
  switch (kind) {
    case Kind::kNoise:
      for (auto& b : f) b = uint8_t(rng());
      return f;
    case Kind::kRamp:
      return testmov::make_frame(width, height, seed, 3);
    case Kind::kFlat:
      for (size_t i = 0; i < f.size(); ++i)
        f[i] = uint8_t((i / 3 % w / bw + i / 3 / w / bh) % 3 * 60 + i % 3 * 20);
      return f;
    case Kind::kSolid:
    case Kind::kSolidButLast:
      for (size_t i = 0; i < f.size(); ++i) f[i] = px[i % 3];
      if (kind == Kind::kSolidButLast) f.back() ^= 0x40;
      return f;
    default:
      for (uint32_t c = 0; c < 3; ++c) {
        const Bytes p = Plane(kind, n, seed * 3 + c);
        planes.insert(planes.end(), p.begin(), p.end());
      }
      ReEntropy(planes.data(), f.data(), width, height, scratch.data());
      return f;
  }
}

}  // namespace testdata

namespace testmov {

std::vector<uint8_t> make_frame(int width, int height, uint32_t seed, int noise) {
  std::vector<uint8_t> frame;
  uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  for (int64_t y = 0; y < height; ++y)
    for (int64_t x = 0; x < width; ++x) {
      const uint32_t base[3] = {
          uint32_t(x * 256 / width) + seed * 8, uint32_t(y * 256 / height) + seed * 5,
          uint32_t((x + y) * 128 / (int64_t{width} + height)) + 128 - seed * 11};
      for (uint32_t b : base) {
        int v = int(b & 0xFF);
        if (noise > 0) {
          state ^= state << 13, state ^= state >> 17, state ^= state << 5;
          v += int(state % (2u * noise + 1)) - noise;
        }
        frame.push_back(uint8_t(std::clamp(v, 0, 255)));
      }
    }
  return frame;
}

}  // namespace testmov
