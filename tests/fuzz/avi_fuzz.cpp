// Arbitrary bytes as an AVI file: read_avi, then every frame it lists (up to a cap)
// through the FrameDecoder, as vizudec -t does. Every frame the reader calls whole must lie
// inside the input; the decoder must come back on any bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "avi/avi.h"
#include "codec/codec.h"

namespace {

// Keeps each input fast: large geometries and long frame lists add time, not coverage.
constexpr uint64_t kMaxPixels = 1u << 16;
constexpr size_t kMaxFrames = 64;

constexpr uint32_t kVizu = 0x555A4956;       // "VIZU"
constexpr uint32_t kVizuLower = 0x757A6976;  // "vizu"

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  AviInfo info;
  std::string error;
  if (!read_avi(in, size, info, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (info.width <= 0 || info.height <= 0 || info.bit_count != 24) std::abort();
  for (const AviFrame& f : info.frames) {
    if (f.damage != nullptr) continue;
    if (f.offset > size || f.size > size - f.offset) std::abort();
  }
  const bool vizu = info.compression == kVizu || info.compression == kVizuLower;
  if (!vizu) return 0;
  const uint64_t pixels = static_cast<uint64_t>(info.width) * static_cast<uint64_t>(info.height);
  if (pixels > kMaxPixels) return 0;

  FrameDecoder decoder;
  if (!decoder.Begin(info.width, info.height)) return 0;
  const size_t frame_bytes = static_cast<size_t>(pixels) * 3;
  std::unique_ptr<uint8_t[]> out(new uint8_t[frame_bytes + 3]);
  const size_t n = std::min(info.frames.size(), kMaxFrames);
  for (size_t i = 0; i < n; ++i) {
    const AviFrame& f = info.frames[i];
    if (f.damage != nullptr) continue;
    // A copy of exactly the frame's bytes, so that a read past its end is caught.
    std::unique_ptr<uint8_t[]> frame(new uint8_t[std::max<size_t>(f.size, 1)]);
    std::copy(data + f.offset, data + f.offset + f.size, frame.get());
    (void)decoder.Decode(frame.get(), f.size, out.get());
  }
  return 0;
}
