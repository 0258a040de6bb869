// codec/channel_stream.cpp: one channel plane packed into a self-contained stream.
//
// Method 0:       method byte, count header, range code without its first byte.
// Methods 1 to 3: method byte (the zero-run level), the length of the zero-run-coded
//                 bytes (32-bit little-endian), count header, range code without its
//                 first byte.
// The range code's first byte is always 0; it is written over the last byte of the count
// header, which is then put back. The extent compact returns is one byte longer than
// what it writes, and that last byte is set to 0 so the output is deterministic.
//
// The run buffer. compact never writes past rle_capacity: it codes a plane with zero runs
// only when the coded string fits both rle_buffer and the plane's own length, and packs
// it with method 0 otherwise. A capacity of at least the plane length therefore gives
// the established stream for every plane: the frame compressor gives each plane a run
// buffer of n bytes, and a Compress of its own sets 1.5 n + 3, which is also all that
// uncompact needs for any stream (zero::RLE never writes more); uncompact rejects a run
// length above its capacity as damage.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "codec/codec.h"
#include "codec/entropy_detail.h"
#include "codec/frame_layout.h"

namespace {

constexpr size_t kMethodBytes = 1;
constexpr size_t kRunLengthBytes = 4;
constexpr size_t kRangeCodeFlushBytes = 5;  // the initial cache byte and the four of low

// Upper bound on the bits the range coder moves out for `coded` bytes.
//
// Proof. Let K = coded, T = 2^shift the table total (K <= T < 2K), c_s the count and f_s
// the scaled frequency of symbol s, d the number of symbols that occur (d <= min(K, 256)).
// (1) Each symbol shrinks range from R to at least r f_s with r = R >> shift (for symbol
//     255, R - r prob[255] >= r T - r prob[255] = r f_255). Every byte moved out
//     multiplies range by 256, range starts at 2^31 and never exceeds it, so
//     8 x moves <= sum over the coded bytes of log2(R / (r f_s)).
// (2) R > 2^23 before each symbol, so r >= 2^(23 - shift) and R / (r T) < 1 + 1 / r
//     <= 1 + 2^(shift - 23): log2(R / (r f_s)) <= log2(T / f_s) + log2(1 + 2^(shift-23)).
// (3) The float factor phi = fl(T / K) is T / K (1 + e) with |e| <= 2^-24 and phi >= 1.
//     With x = c phi: f_s >= max(c, floor(x)) and floor(x) > x - 1, so x / f_s <= 1 + 1/c
//     (if x - 1 >= c then x / (x - 1) <= 1 + 1/c, else x / c = phi < 1 + 1/c); the
//     deficit walk only adds. Hence T / f_s <= (K / c)(1 + 1/c) / (1 - 2^-24).
// (4) Summing over the K bytes: sum c log2(K / c) <= K log2 d (entropy at most log2 of
//     the support), sum c log2(1 + 1/c) <= d log2 e (c ln(1 + 1/c) < 1), and
//     K log2(1 / (1 - 2^-24)) < 1 for K <= 2^23.
// So 8 x moves <= K log2 d + d log2 e + 1 + K log2(1 + 2^(shift - 23)). Each term grows
// with K, so the bound for the plane length also covers a shorter zero-run-coded string.
double MaxRangeCodeBits(uint32_t coded) {
  if (coded == 0) return 0.0;
  uint32_t shift = 0;
  while ((uint64_t{1} << shift) < coded) ++shift;
  const double k = static_cast<double>(coded);
  const double d = static_cast<double>(std::min<uint32_t>(coded, 256));
  const double loss = std::log2(1.0 + std::ldexp(1.0, static_cast<int>(shift) - 23));
  return k * std::log2(d) + d * 1.4426950408889634 + 1.0 + k * loss;
}

}  // namespace

size_t MaxChannelStreamBytes(uint32_t length) {
  // The extent is the method byte, the run length, the count header, the range code
  // (5 bytes plus the bytes moved out) less its first byte, and the unwritten last byte.
  // One byte of margin covers the rounding of the floating-point bound.
  const double moved = std::ceil(MaxRangeCodeBits(length) / 8.0) + 1.0;
  return kMethodBytes + kRunLengthBytes + kMaxCountHeaderBytes + kRangeCodeFlushBytes - 1 + 1 +
         static_cast<size_t>(moved);
}

namespace entropy_detail {

void PlanStream(const unsigned char* in, uint32_t length, unsigned char* rle, size_t rle_capacity,
                uint32_t* counts, unsigned char* out, StreamPlan* plan) {
  assert(length <= kMaxChannelBytes);
  unsigned int min_saving = length / 1000;
  if (min_saving < 16) min_saving = 16;
  const int level = zero::testRLE(in, static_cast<int>(length), static_cast<int>(min_saving));

  plan->out = out;
  size_t header_at = kMethodBytes;
  plan->data = in;
  plan->coded = length;
  out[0] = 0;
  if (level != 0) {
    // The chosen level saves at least 13 bytes on any plane within kMaxChannelBytes, so
    // the coded string fits in the plane's length. Should it not (or not fit the run
    // buffer), the plane goes out with method 0 instead: never an overflow, and the
    // stream bound stays that of the plane.
    const size_t room = std::min<size_t>(rle_capacity, length);
    const int k = zero::RunCodeWithin(in, rle, static_cast<int>(length), level, room);
    if (k >= 0) {
      plan->data = rle;
      plan->coded = static_cast<uint32_t>(k);
      out[0] = static_cast<unsigned char>(level);
      store_le32(out + kMethodBytes, plan->coded);
      header_at += kRunLengthBytes;
    }
  }
  CountBytes(plan->data, plan->coded, counts);
  if (plan->coded == 0) {
    // Nothing will be coded; an empty table keeps the writer and reader in step.
    for (int s = 0; s <= 256; ++s) plan->prob[s] = 0;
    plan->shift = 0;
  } else {
    plan->shift = BuildProbTable(counts, plan->coded, plan->prob);
  }
  const unsigned int n = FibonacciEncode2(counts, out + header_at, 256);
  // The range code's first byte, always 0, lands on the count header's last byte.
  plan->code_at = header_at + n - 1;
  plan->kept = out[plan->code_at];
}

unsigned int FinishStream(const StreamPlan& plan, uint32_t code_bytes) {
  plan.out[plan.code_at] = plan.kept;
  const size_t end = plan.code_at + code_bytes;
  plan.out[end] = 0;
  return static_cast<unsigned int>(end + 1);
}

}  // namespace entropy_detail

unsigned int Compress::compact(const unsigned char* in, unsigned char* out, unsigned int length) {
  entropy_detail::StreamPlan plan;
  entropy_detail::PlanStream(in, length, rle_buffer.get(), rle_capacity, counts.get(), out, &plan);
  for (int s = 0; s <= 256; ++s) prob[s] = plan.prob[s];
  shift = plan.shift;
  const unsigned int m = encode(plan.data, out + plan.code_at, plan.coded);
  return entropy_detail::FinishStream(plan, m);
}

namespace entropy_detail {

bool PlanUnpack(const unsigned char* in, size_t in_len, unsigned char* out, uint32_t length,
                unsigned char* rle, size_t rle_capacity, UnpackPlan* plan) {
  if (in_len < kMethodBytes || length > kMaxChannelBytes) return false;
  const unsigned int method = in[0];
  if (method > 3) return false;

  size_t header_at = kMethodBytes;
  plan->method = method;
  plan->coded = length;
  plan->coded_out = out;
  if (method != 0) {
    if (in_len < kMethodBytes + kRunLengthBytes) return false;
    const uint32_t coded = load_le32(in + kMethodBytes);
    // zero::RLE writes at most 1.5 n + 3 bytes for n plane bytes.
    const uint64_t longest = uint64_t{length} + (uint64_t{length} + 1) / 2 + 3;
    if (coded > rle_capacity || coded > longest || coded > kMaxTotal) return false;
    header_at += kRunLengthBytes;
    plan->coded = coded;
    plan->coded_out = rle;
  }

  uint32_t decoded[256];
  const unsigned int h = FibonacciDecode2(in + header_at, in_len - header_at, decoded, 256);
  if (h == 0) return false;
  // The writer's counts add up to exactly the bytes it coded.
  uint64_t sum = 0;
  for (int s = 0; s < 256; ++s) sum += decoded[s];
  if (sum != plan->coded) return false;
  if (plan->coded == 0) {
    for (int s = 0; s <= 256; ++s) plan->prob[s] = 0;
    plan->shift = 0;
  } else {
    plan->shift = BuildProbTable(decoded, plan->coded, plan->prob);
  }
  // The range code's skipped first byte is the count header's last byte.
  const size_t code_at = header_at + h - 1;
  plan->code = in + code_at;
  plan->code_len = in_len - code_at;
  return true;
}

bool FinishUnpack(const UnpackPlan& plan, unsigned char* out, uint32_t length) {
  if (plan.method == 0) return true;
  const int used = zero::deRLE(plan.coded_out, plan.coded, out, static_cast<int>(length),
                               static_cast<int>(plan.method));
  return used >= 0 && static_cast<uint32_t>(used) == plan.coded;
}

}  // namespace entropy_detail

bool Compress::uncompact(const unsigned char* in, size_t in_len, unsigned char* out,
                         unsigned int length) {
  entropy_detail::UnpackPlan plan;
  if (!entropy_detail::PlanUnpack(in, in_len, out, length, rle_buffer.get(), rle_capacity, &plan))
    return false;
  for (int s = 0; s <= 256; ++s) prob[s] = plan.prob[s];
  shift = plan.shift;
  if (!entropy_detail::DecodeWithin(plan.prob, plan.shift, plan.code, plan.code_len, plan.coded_out,
                                    plan.coded))
    return false;
  return entropy_detail::FinishUnpack(plan, out, length);
}
