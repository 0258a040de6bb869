// codec/codec_inst.cpp: the frame compressor. One frame in, one Vozodiva frame out: a
// 2- or 4-byte solid frame, or a key frame of three channel streams.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>

#include "codec/codec.h"
#include "codec/entropy_detail.h"
#include "codec/frame_layout.h"
#include "codec/predict_detail.h"

namespace fl = frame_layout;

namespace {

// Both owned buffers: the frame, plus the slack the frame buffers have always carried.
size_t WorkBufferBytes(uint32_t length, int height) {
  return static_cast<size_t>(length) + 3 * static_cast<size_t>(height) + 2048;
}

// True when every pixel of the frame equals pixel 0; then the 2- or 4-byte frame is
// written at out and its size stored in the record.
bool WriteIfSolid(const unsigned char* w, uint32_t length, unsigned char* out, ICCOMPRESS* icc) {
  if (length >= 24) {
    // Every byte equals the byte 8 pixels on, and pixels 1 to 7 equal pixel 0: then every
    // pixel equals pixel 0, and most frames are rejected within their first bytes.
    if (std::memcmp(w, w + 24, length - 24) != 0) return false;
    for (uint32_t i = 3; i < 24; ++i)
      if (w[i] != w[i % 3]) return false;
  } else {
    // Fewer than 8 pixels: the shifted comparison is not defined, compare each pixel.
    for (uint32_t i = 3; i < length; ++i)
      if (w[i] != w[i % 3]) return false;
  }
  if (w[0] == w[1] && w[1] == w[2]) {
    out[0] = fl::kSolidByteType;
    out[1] = w[0];
    icc->size = fl::kSolidByteBytes;
  } else {
    out[0] = fl::kSolidPixelType;
    out[1] = w[0];
    out[2] = w[1];
    out[3] = w[2];
    icc->size = fl::kSolidPixelBytes;
  }
  icc->flags = kKeyFrameFlag;
  return true;
}

// Writes the type 4 frame of the three residual planes (n bytes each) at out.
uint32_t WriteKeyFrame(Compress& coder, const unsigned char* planes, uint32_t n, unsigned char* out,
                       ICCOMPRESS* icc) {
  icc->flags = kKeyFrameFlag;
  out[0] = fl::kKeyFrameType;
  // Each extent ends with a byte compact sets to 0, so streams follow back to back.
  uint32_t at = fl::kKeyHeaderBytes;
  at += coder.compact(planes, out + at, n);
  fl::StoreLE32(at, out + fl::kStream2OffsetAt);
  at += coder.compact(planes + n, out + at, n);
  fl::StoreLE32(at, out + fl::kStream3OffsetAt);
  at += coder.compact(planes + 2 * size_t{n}, out + at, n);
  icc->size = at;
  return at;
}

// Pixels per plane of a geometry the coder can take, or 0 when it cannot.
uint64_t PlaneBytes(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const uint64_t n = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  return n <= kMaxChannelBytes ? n : 0;
}

// The residual buffer during CompressContinue: first two decorrelated rows for the
// prediction; then, once the planes are made, the zero-run-coded copies of the three
// planes (at most n bytes each, as compact allows) and the channel streams 2 and 3,
// which are coded together with stream 1 and moved behind it once its length is known.
size_t ResidualBufferBytes(uint32_t length, int width, int height) {
  const size_t n = length / 3;
  const size_t streams = 3 * n + 2 * MaxChannelStreamBytes(static_cast<uint32_t>(n));
  return std::max({WorkBufferBytes(length, height), predict_detail::PlaneScratchBytes(width),
                   streams});
}

// Writes the type 4 frame of the three residual planes at out, as three calls of
// Compress::compact would, but with the three range codes written in one interleaved
// pass (each code's symbol-to-symbol chain is serial; three of them overlap).
uint32_t WriteKeyFrameTogether(Compress& coder, const unsigned char* planes, uint32_t n,
                               unsigned char* scratch, unsigned char* out, ICCOMPRESS* icc) {
  icc->flags = kKeyFrameFlag;
  out[0] = fl::kKeyFrameType;
  unsigned char* rle = scratch;
  unsigned char* later = scratch + 3 * size_t{n};
  const size_t stream_room = MaxChannelStreamBytes(n);
  unsigned char* dest[3] = {out + fl::kKeyHeaderBytes, later, later + stream_room};

  entropy_detail::StreamPlan plans[3];
  entropy_detail::RangeJob jobs[3];
  for (int c = 0; c < 3; ++c) {
    entropy_detail::PlanStream(planes + c * size_t{n}, n, rle + c * size_t{n}, n, coder.counts.get(),
                               dest[c], &plans[c]);
    jobs[c] = {plans[c].data, plans[c].coded, plans[c].prob, plans[c].shift,
               dest[c] + plans[c].code_at, 0};
  }
  entropy_detail::EncodeThree(jobs);
  uint32_t at = fl::kKeyHeaderBytes;
  at += entropy_detail::FinishStream(plans[0], jobs[0].written);
  fl::StoreLE32(at, out + fl::kStream2OffsetAt);
  const uint32_t s2 = entropy_detail::FinishStream(plans[1], jobs[1].written);
  std::memcpy(out + at, dest[1], s2);
  at += s2;
  fl::StoreLE32(at, out + fl::kStream3OffsetAt);
  const uint32_t s3 = entropy_detail::FinishStream(plans[2], jobs[2].written);
  std::memcpy(out + at, dest[2], s3);
  at += s3;
  icc->size = at;
  return at;
}

}  // namespace

size_t MaxCompressedFrameSize(int width, int height) {
  const uint64_t n = PlaneBytes(width, height);
  if (n == 0) return 0;
  // Every stream's extent, unwritten last byte included, is within the entropy coder's
  // bound; the solid frames (2 and 4 bytes) are shorter than the 9-byte key header.
  return fl::kKeyHeaderBytes + 3 * MaxChannelStreamBytes(static_cast<uint32_t>(n));
}

CodecInst::CodecInst() = default;
CodecInst::~CodecInst() = default;

int CodecInst::CompressBegin(int width_in, int height_in, int bit_count_in) {
  CompressEnd();
  width = width_in;
  height = height_in;
  bit_count = bit_count_in;
  length = 0;
  const uint64_t n = PlaneBytes(width_in, height_in);
  // Only 3-byte pixels are defined, and a plane above kMaxChannelBytes would overrun the
  // range coder's precision.
  if (n == 0 || bit_count_in != 24) return 1;
  length = static_cast<uint32_t>(n * 3);

  const size_t buffer_bytes = WorkBufferBytes(length, height_in);
  // CompressContinue predicts straight from the caller's frame into the planes in
  // work_buffer and uses the residual buffer as scratch (ResidualBufferBytes).
  residual_buffer.reset(new (std::nothrow) uint8_t[ResidualBufferBytes(length, width_in, height_in)]);
  work_buffer.reset(new (std::nothrow) uint8_t[buffer_bytes]);
  if (!residual_buffer || !work_buffer) {
    CompressEnd();
    return 2;
  }
  // zero::RLE may write 1.5 n + 3 bytes, a little more than length / 2 for 3-byte pixels.
  compressor.InitCompressBuffers(static_cast<unsigned int>(fl::MaxRunCodedBytes(n)));
  return 0;
}

int CodecInst::CompressContinue(ICCOMPRESS* icc, unsigned long /*unused*/) {
  assert(work_buffer && "CompressBegin did not succeed");
  output = icc->output;
  input = icc->input;
  // The same frame as SolidFrameTest and KeyCompress on a copy in work_buffer would
  // give, without the copy: the solid test reads the input, and the prediction reads
  // it once, decorrelating on the fly, and writes the three planes into work_buffer.
  if (WriteIfSolid(input, length, output, icc)) return 0;
  const uint32_t n = length / 3;
  unsigned char* planes = work_buffer.get();
  predict_detail::PredictToPlanes(input, width, height, residual_buffer.get(), planes, planes + n,
                                  planes + 2 * size_t{n});
  WriteKeyFrameTogether(compressor, planes, n, residual_buffer.get(), output, icc);
  return 0;
}

int CodecInst::SolidFrameTest(ICCOMPRESS* icc) {
  return WriteIfSolid(work_buffer.get(), length, output, icc) ? 1 : 0;
}

int CodecInst::KeyCompress(ICCOMPRESS* icc) {
  const uint32_t n = length / 3;
  DeEntropy(work_buffer.get(), residual_buffer.get(), width, height);
  const unsigned char* res = residual_buffer.get();
  unsigned char* plane0 = work_buffer.get();
  unsigned char* plane1 = plane0 + n;
  unsigned char* plane2 = plane1 + n;
  for (uint32_t i = 0; i < n; ++i) {
    plane0[i] = res[3 * static_cast<size_t>(i)];
    plane1[i] = res[3 * static_cast<size_t>(i) + 1];
    plane2[i] = res[3 * static_cast<size_t>(i) + 2];
  }
  return static_cast<int>(WriteKeyFrame(compressor, plane0, n, output, icc));
}

int CodecInst::CompressEnd() {
  residual_buffer.reset();
  work_buffer.reset();
  compressor.FreeCompressBuffers();
  return 0;
}
