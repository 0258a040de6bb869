// Fuzz target for channel streams. The first two bytes give a plane length (capped);
// the rest is unpacked as an untrusted channel stream of that length, and then packed as
// a plane of its own and unpacked again, which must give it back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/codec.h"

namespace {

constexpr uint32_t kMaxPlane = 1u << 14;

size_t RunBufferBytes(size_t n) { return n + (n + 1) / 2 + 3; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t length = (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8) %
                          (kMaxPlane + 1);
  const uint8_t* rest = data + 2;
  const size_t rest_len = size - 2;

  // Untrusted unpacking, from an exact-size copy so that any read past it is caught.
  {
    Compress reader;
    reader.InitCompressBuffers(static_cast<unsigned int>(RunBufferBytes(length)));
    std::vector<uint8_t> stream(rest, rest + rest_len);
    std::vector<uint8_t> plane(length);
    const bool ok = reader.uncompact(stream.data(), stream.size(), plane.data(), length);
    (void)ok;
  }

  // Round trip of the rest as a plane.
  if (rest_len <= kMaxPlane) {
    const uint32_t n = static_cast<uint32_t>(rest_len);
    Compress coder;
    coder.InitCompressBuffers(static_cast<unsigned int>(RunBufferBytes(n)));
    std::vector<uint8_t> packed(MaxChannelStreamBytes(n));
    const unsigned int extent = coder.compact(rest, packed.data(), n);
    if (extent > packed.size() || packed[extent - 1] != 0) std::abort();
    std::vector<uint8_t> written(packed.begin(), packed.begin() + (extent - 1));
    std::vector<uint8_t> back(n);
    if (!coder.uncompact(written.data(), written.size(), back.data(), n)) std::abort();
    if (n != 0 && std::memcmp(back.data(), rest, n) != 0) std::abort();
  }
  return 0;
}
