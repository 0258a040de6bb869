// codec/frame_decoder.cpp: decodes Vozodiva frames from untrusted bytes.
//
// A frame may carry bytes beyond what its type needs: a solid frame is taken from its
// first 2 or 4 bytes, and the third channel stream of a key frame extends to in_len.
// (An AVI chunk's size excludes its pad byte, so a reader hands over exactly the frame;
// more bytes are tolerated rather than refused, fewer are damage.)
#include <cstdint>
#include <cstring>
#include <new>

#include "codec/codec.h"
#include "codec/frame_layout.h"

namespace fl = frame_layout;

struct FrameDecoder::Impl {
  int width = 0;
  int height = 0;
  uint32_t pixels = 0;
  std::unique_ptr<uint8_t[]> planes;     // three planes of `pixels` bytes
  std::unique_ptr<uint8_t[]> residuals;  // the planes interleaved again
  Compress coder;
};

FrameDecoder::FrameDecoder() = default;
FrameDecoder::~FrameDecoder() = default;

bool FrameDecoder::Begin(int width, int height) {
  impl_.reset();
  if (width <= 0 || height <= 0) return false;
  const uint64_t n = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (n > kMaxChannelBytes) return false;

  std::unique_ptr<Impl> impl(new (std::nothrow) Impl);
  if (!impl) return false;
  impl->width = width;
  impl->height = height;
  impl->pixels = static_cast<uint32_t>(n);
  impl->planes.reset(new (std::nothrow) uint8_t[3 * n]);
  impl->residuals.reset(new (std::nothrow) uint8_t[3 * n]);
  if (!impl->planes || !impl->residuals) return false;
  // A run length above what zero::RLE can produce for one plane is refused as damage
  // by uncompact, so this is all the run buffer an honest stream needs.
  impl->coder.InitCompressBuffers(static_cast<unsigned int>(fl::MaxRunCodedBytes(n)));
  impl_ = std::move(impl);
  return true;
}

bool FrameDecoder::Decode(const unsigned char* in, size_t in_len, unsigned char* out) {
  if (!impl_ || in_len == 0) return false;
  Impl& d = *impl_;
  const size_t n = d.pixels;
  const size_t frame_bytes = 3 * n;

  switch (in[0]) {
    case fl::kSolidByteType:
      if (in_len < fl::kSolidByteBytes) return false;
      std::memset(out, in[1], frame_bytes);
      return true;
    case fl::kSolidPixelType:
      if (in_len < fl::kSolidPixelBytes) return false;
      for (size_t p = 0; p < frame_bytes; p += 3) {
        out[p] = in[1];
        out[p + 1] = in[2];
        out[p + 2] = in[3];
      }
      return true;
    case fl::kKeyFrameType:
      break;
    default:
      return false;
  }

  if (in_len < fl::kKeyHeaderBytes) return false;
  const size_t off2 = fl::LoadLE32(in + fl::kStream2OffsetAt);
  const size_t off3 = fl::LoadLE32(in + fl::kStream3OffsetAt);
  if (off2 < fl::kKeyHeaderBytes || off3 < off2 || off3 > in_len) return false;

  const size_t starts[3] = {fl::kKeyHeaderBytes, off2, off3};
  const size_t ends[3] = {off2, off3, in_len};
  for (int c = 0; c < 3; ++c) {
    if (!d.coder.uncompact(in + starts[c], ends[c] - starts[c], d.planes.get() + c * n, d.pixels))
      return false;
  }

  const unsigned char* plane0 = d.planes.get();
  const unsigned char* plane1 = plane0 + n;
  const unsigned char* plane2 = plane1 + n;
  unsigned char* res = d.residuals.get();
  for (size_t i = 0; i < n; ++i) {
    res[3 * i] = plane0[i];
    res[3 * i + 1] = plane1[i];
    res[3 * i + 2] = plane2[i];
  }
  ReEntropy(res, out, d.width, d.height);
  return true;
}
