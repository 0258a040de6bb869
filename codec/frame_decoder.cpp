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
#include "codec/entropy_detail.h"
#include "codec/frame_layout.h"

namespace fl = frame_layout;

struct FrameDecoder::Impl {
  int width = 0;
  int height = 0;
  uint32_t pixels = 0;
  std::unique_ptr<uint8_t[]> planes;  // three planes of `pixels` bytes
  std::unique_ptr<uint8_t[]> rle;     // a run buffer of rle_capacity bytes per plane
  size_t rle_capacity = 0;
  std::unique_ptr<uint8_t[]> rows;  // scratch rows of the reconstruction
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
  // A run length above what zero::RLE can produce for one plane is refused as damage,
  // so this is all the run buffer an honest stream needs. The run buffers are touched
  // only by streams that use zero-run coding.
  impl->rle_capacity = zero::MaxRunCodedBytes(n);
  impl->planes.reset(new (std::nothrow) uint8_t[3 * n]);
  impl->rle.reset(new (std::nothrow) uint8_t[3 * impl->rle_capacity]);
  impl->rows.reset(new (std::nothrow) uint8_t[PredictScratchBytes(width)]);
  if (!impl->planes || !impl->rle || !impl->rows) return false;
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
  const size_t off2 = load_le32(in + fl::kStream2OffsetAt);
  const size_t off3 = load_le32(in + fl::kStream3OffsetAt);
  if (off2 < fl::kKeyHeaderBytes || off3 < off2 || off3 > in_len) return false;

  const size_t starts[3] = {fl::kKeyHeaderBytes, off2, off3};
  const size_t ends[3] = {off2, off3, in_len};
  // The three streams are read up to their range codes, the three range codes are
  // decoded in one interleaved pass, and then any zero-run coding is undone: the same
  // checks and results as three calls of Compress::uncompact.
  entropy_detail::UnpackPlan plans[3];
  entropy_detail::RangeSource sources[3];
  for (int c = 0; c < 3; ++c) {
    if (!entropy_detail::PlanUnpack(in + starts[c], ends[c] - starts[c], d.planes.get() + c * n,
                                    d.pixels, d.rle.get() + c * d.rle_capacity, d.rle_capacity,
                                    &plans[c]))
      return false;
    sources[c] = {plans[c].prob,     plans[c].shift,     plans[c].code,
                  plans[c].code_len, plans[c].coded_out, plans[c].coded};
  }
  if (!entropy_detail::DecodeThree(sources)) return false;
  for (int c = 0; c < 3; ++c) {
    if (!entropy_detail::FinishUnpack(plans[c], d.planes.get() + c * n, d.pixels)) return false;
  }

  ReEntropy(d.planes.get(), out, d.width, d.height, d.rows.get());
  return true;
}
