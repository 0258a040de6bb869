// Fuzzes FrameDecoder with arbitrary bytes. Bytes 0 and 1 choose the geometry (1 to 64
// pixels each way); the rest is the frame. A frame that decodes is compressed again and
// must decode back to the same pixels.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int width = 1 + data[0] % 64;
  const int height = 1 + data[1] % 64;
  const size_t frame_bytes = static_cast<size_t>(width) * height * 3;

  FrameDecoder decoder;
  if (!decoder.Begin(width, height)) std::abort();
  // Exact-size copies, so any read or write past either end is caught.
  const size_t in_len = size - 2;
  std::unique_ptr<uint8_t[]> in(new uint8_t[in_len ? in_len : 1]);
  if (in_len) std::memcpy(in.get(), data + 2, in_len);
  std::unique_ptr<uint8_t[]> frame(new uint8_t[frame_bytes]);
  if (!decoder.Decode(in.get(), in_len, frame.get())) return 0;

  CodecInst codec;
  if (codec.CompressBegin(width, height, 24) != 0) std::abort();
  const size_t cap = MaxCompressedFrameSize(width, height);
  std::unique_ptr<uint8_t[]> coded(new uint8_t[cap]);
  ICCOMPRESS icc;
  icc.input = frame.get();
  icc.output = coded.get();
  codec.CompressContinue(&icc, 0);
  if (icc.size > cap) std::abort();
  std::unique_ptr<uint8_t[]> again(new uint8_t[frame_bytes]);
  if (!decoder.Decode(coded.get(), icc.size, again.get())) std::abort();
  if (std::memcmp(frame.get(), again.get(), frame_bytes) != 0) std::abort();
  return 0;
}
