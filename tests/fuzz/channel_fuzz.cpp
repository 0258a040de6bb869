// Channel streams: the first two bytes give a plane length (capped); the rest is unpacked
// as an untrusted channel stream of that length, then packed as a plane of its own and
// unpacked again, which must give it back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t length = (data[0] | uint32_t(data[1]) << 8) % ((1u << 14) + 1);
  const std::vector<uint8_t> rest(data + 2, data + size);  // exact size: ASan sees a read past it
  Compress coder;
  coder.InitCompressBuffers(unsigned(rest.size() + length) * 2 + 3);
  std::vector<uint8_t> plane(length), packed(MaxChannelStreamBytes(uint32_t(rest.size())));
  (void)coder.uncompact(rest.data(), rest.size(), plane.data(), length);
  if (rest.size() > (1u << 14)) return 0;
  const unsigned int extent = coder.compact(rest.data(), packed.data(), uint32_t(rest.size()));
  if (extent > packed.size() || packed[extent - 1] != 0) std::abort();
  packed.resize(extent - 1);
  plane.resize(rest.size());
  if (!coder.uncompact(packed.data(), packed.size(), plane.data(), uint32_t(rest.size())) ||
      plane != rest)
    std::abort();
  return 0;
}
