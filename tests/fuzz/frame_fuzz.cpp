// Fuzzes FrameDecoder with arbitrary bytes. Bytes 0 and 1 choose the geometry (1 to 64
// pixels each way); the rest is the frame. A frame that decodes is compressed again and
// must decode back to the same pixels. Decoded in a pair, next to a key frame, the frame
// must give what it gives alone, and the key frame its pixels.
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
  const bool ok = decoder.Decode(in.get(), in_len, frame.get());

  CodecInst codec;
  if (codec.CompressBegin(width, height, 24) != 0) std::abort();
  const size_t cap = MaxCompressedFrameSize(width, height);
  std::unique_ptr<uint8_t[]> coded(new uint8_t[cap]);
  std::unique_ptr<uint8_t[]> pattern(new uint8_t[frame_bytes]);
  for (size_t i = 0; i < frame_bytes; ++i) pattern[i] = static_cast<uint8_t>(i * 7 + (i >> 4));
  ICCOMPRESS icc;
  icc.input = pattern.get();
  icc.output = coded.get();
  codec.CompressContinue(&icc, 0);
  FrameDecoder pairs;
  if (!pairs.Begin(width, height, true)) std::abort();
  const unsigned char* const two_in[2] = {in.get(), coded.get()};
  const size_t two_len[2] = {in_len, icc.size};
  std::unique_ptr<uint8_t[]> two[2] = {std::unique_ptr<uint8_t[]>(new uint8_t[frame_bytes]),
                                       std::unique_ptr<uint8_t[]>(new uint8_t[frame_bytes])};
  unsigned char* const two_out[2] = {two[0].get(), two[1].get()};
  bool two_ok[2];
  pairs.DecodeTwo(two_in, two_len, two_out, two_ok);
  if (two_ok[0] != ok || !two_ok[1]) std::abort();
  if (ok && std::memcmp(two[0].get(), frame.get(), frame_bytes) != 0) std::abort();
  if (std::memcmp(two[1].get(), pattern.get(), frame_bytes) != 0) std::abort();
  if (!ok) return 0;

  icc.input = frame.get();
  codec.CompressContinue(&icc, 0);
  if (icc.size > cap) std::abort();
  std::unique_ptr<uint8_t[]> again(new uint8_t[frame_bytes]);
  if (!decoder.Decode(coded.get(), icc.size, again.get())) std::abort();
  if (std::memcmp(frame.get(), again.get(), frame_bytes) != 0) std::abort();
  return 0;
}
