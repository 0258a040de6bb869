// tests/support/test_data.h: the one generator of test data, seeded: byte strings (channel
// planes) and frames of 3-byte pixels of every kind the codec treats differently.
#ifndef TESTS_SUPPORT_TEST_DATA_H_
#define TESTS_SUPPORT_TEST_DATA_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testdata {

using Bytes = std::vector<uint8_t>;

enum class Kind {
  kNoise,         // every byte random
  kRamp,          // a smooth ramp with light noise
  kFlat,          // planes: stretches of one value; frames: blocks of three colours
  kSolid,         // one value; one colour (grey for even seeds)
  kSolidButLast,  // the same but for the last byte
  kFewValues,     // a few values, 255 the most common (range coder carries)
  kSparse,        // mostly zero, a random value one byte in ten
  kRuns1,         // zero runs that zero-run level 1 codes best (long runs)
  kRuns2,         // ... level 2 (lone zeros, a few runs of 20)
  kRuns3,         // ... level 3 (lone zeros and pairs)
  kHigh,          // no value below 128
};
constexpr int kKinds = 11;
inline Kind KindAt(int i) { return Kind(i); }
const char* Name(Kind kind);

Bytes Plane(Kind kind, size_t n, uint32_t seed);
// width x height pixels. From kFewValues on, the frame whose three residual planes are
// planes of that kind (prediction is a bijection).
Bytes Frame(Kind kind, int width, int height, uint32_t seed);

}  // namespace testdata

#endif  // TESTS_SUPPORT_TEST_DATA_H_
