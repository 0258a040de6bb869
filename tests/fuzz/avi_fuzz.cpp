// Arbitrary bytes as an AVI file: read_avi_headers and read_avi, which must agree, then every
// frame read_avi lists (up to a cap) through the FrameDecoder, as vizudec -t does. Every frame and
// sound chunk the reader calls whole must lie inside the input; the decoder must come back on any
// bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ReadAt read_at = [&](uint64_t off, unsigned char* dst, size_t n) {
    if (off > size || n > size - off) std::abort();  // read_avi asks only inside the file
    std::copy_n(data + off, n, dst);
    return true;
  };
  AviInfo info;
  AviInfo headers;
  std::string error;
  std::string head_error;
  const bool headers_read = read_avi_headers(size, read_at, headers, head_error);
  if (!headers_read && head_error.empty()) std::abort();
  if (!read_avi(size, read_at, info, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (info.width <= 0 || info.height <= 0 || info.bit_count != 24) std::abort();
  // The header lists alone say what read_avi found in them.
  if (!headers_read || headers.width != info.width || headers.height != info.height ||
      headers.compression != info.compression || headers.rate != info.rate ||
      headers.scale != info.scale || headers.length != info.length || !headers.frames.empty())
    std::abort();
  for (const AviFrame& f : info.frames)
    if (!f.damage && (f.offset > size || f.size > size - f.offset)) std::abort();
  for (const AviAudio& a : info.audio)
    for (const AviFrame& c : a.chunks)
      if (!c.damage && (c.offset > size || c.size > size - c.offset)) std::abort();
  // Large geometries and long frame lists add time, not coverage.
  const uint64_t pixels = uint64_t(info.width) * uint64_t(info.height);
  FrameDecoder decoder;
  const bool vizu = info.compression == fourcc("VIZU") || info.compression == fourcc("vizu");
  if (!vizu || pixels > (1u << 16) || !decoder.Begin(info.width, info.height)) return 0;
  std::vector<uint8_t> out(pixels * 3);
  for (size_t i = 0; i < std::min<size_t>(info.frames.size(), 64); ++i) {
    const AviFrame& f = info.frames[i];
    if (f.damage) continue;
    const std::vector<uint8_t> frame(
        data + f.offset,
        data + f.offset + f.size);  // exact size: ASan sees a read past it
    (void)decoder.Decode(frame.data(), frame.size(), out.data());
  }
  return 0;
}
