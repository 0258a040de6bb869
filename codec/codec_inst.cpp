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

namespace fl = frame_layout;

namespace {

// Pixels per plane of a geometry the coder can take, or 0 when it cannot.
uint64_t PlaneBytes(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const uint64_t n = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  return n <= kMaxChannelBytes ? n : 0;
}

// The work buffer holds the three residual planes, with the slack the frame buffers
// have always carried.
size_t WorkBufferBytes(uint32_t length, int height) {
  return static_cast<size_t>(length) + 3 * static_cast<size_t>(height) + 2048;
}

// The residual buffer is the key frame's scratch: first the prediction's two rows; then,
// once the planes are made, the zero-run-coded copies of the three planes (at most n
// bytes each, as compact allows) and the channel streams 2 and 3, which are coded
// together with stream 1 and moved behind it once its length is known.
size_t ResidualBufferBytes(uint32_t length, int width) {
  const size_t n = length / 3;
  const size_t streams = 3 * n + 2 * MaxChannelStreamBytes(static_cast<uint32_t>(n));
  return std::max(PredictScratchBytes(width), streams);
}

// True when every pixel of the frame (length bytes at w) equals pixel 0.
bool IsSolid(const unsigned char* w, uint32_t length) {
  if (length < 24) {
    // Fewer than 8 pixels: the shifted comparison is not defined, compare each pixel.
    for (uint32_t i = 3; i < length; ++i)
      if (w[i] != w[i % 3]) return false;
    return true;
  }
  // Every byte equals the byte 8 pixels on, and pixels 1 to 7 equal pixel 0: then every
  // pixel equals pixel 0, and most frames are rejected within their first bytes.
  if (std::memcmp(w, w + 24, length - 24) != 0) return false;
  for (uint32_t i = 3; i < 24; ++i)
    if (w[i] != w[i % 3]) return false;
  return true;
}

// Writes the solid frame of a frame whose every pixel is `pixel` (3 bytes in frame
// order); returns its length.
uint32_t WriteSolid(const unsigned char* pixel, unsigned char* out) {
  if (pixel[0] == pixel[1] && pixel[1] == pixel[2]) {
    out[0] = fl::kSolidByteType;
    out[1] = pixel[0];
    return static_cast<uint32_t>(fl::kSolidByteBytes);
  }
  out[0] = fl::kSolidPixelType;
  out[1] = pixel[0];
  out[2] = pixel[1];
  out[3] = pixel[2];
  return static_cast<uint32_t>(fl::kSolidPixelBytes);
}

// Writes the type 4 frame of the three residual planes (n bytes each) at out, as three
// calls of Compress::compact would, but with the three range codes written in one
// interleaved pass (each code's symbol-to-symbol chain is serial; three of them overlap).
uint32_t WriteKeyFrame(Compress& coder, const unsigned char* planes, uint32_t n,
                       unsigned char* scratch, unsigned char* out) {
  namespace ed = entropy_detail;
  out[0] = fl::kKeyFrameType;
  unsigned char* rle = scratch;
  unsigned char* later = scratch + 3 * size_t{n};
  const size_t stream_room = MaxChannelStreamBytes(n);
  unsigned char* dest[3] = {out + fl::kKeyHeaderBytes, later, later + stream_room};
  ed::StreamPlan plans[3];
  ed::RangeJob jobs[3];
  for (int c = 0; c < 3; ++c) {
    ed::PlanStream(planes + c * size_t{n}, n, rle + c * size_t{n}, n, coder.counts.get(), dest[c],
                   &plans[c]);
    jobs[c] = {plans[c].data,
               plans[c].coded,
               plans[c].prob,
               plans[c].shift,
               dest[c] + plans[c].code_at,
               0};
  }
  ed::EncodeThree(jobs);
  // Each extent ends with a byte set to 0, so the streams follow back to back.
  uint32_t at = fl::kKeyHeaderBytes + ed::FinishStream(plans[0], jobs[0].written);
  for (int c = 1; c < 3; ++c) {
    store_le32(out + (c == 1 ? fl::kStream2OffsetAt : fl::kStream3OffsetAt), at);
    const uint32_t s = ed::FinishStream(plans[c], jobs[c].written);
    std::memcpy(out + at, dest[c], s);
    at += s;
  }
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
  residual_buffer.reset(new (std::nothrow) uint8_t[ResidualBufferBytes(length, width_in)]);
  work_buffer.reset(new (std::nothrow) uint8_t[WorkBufferBytes(length, height_in)]);
  if (!residual_buffer || !work_buffer) {
    CompressEnd();
    return 2;
  }
  // The frame path keeps its run-coded planes in the residual buffer; of the coder it
  // uses only the count table, so the coder's own run buffer is left empty.
  compressor.InitCompressBuffers(0);
  return 0;
}

int CodecInst::CompressContinue(ICCOMPRESS* icc, unsigned long /*unused*/) {
  assert(work_buffer && "CompressBegin did not succeed");
  output = icc->output;
  input = icc->input;
  // The frame is read where the caller keeps it: prediction never changes its input, so
  // the working copy of the frame would only cost a pass over it.
  if (SolidFrameTest(icc) == 0) KeyCompress(icc);
  return 0;
}

int CodecInst::CompressRawContinue(ICCOMPRESS* icc) {
  assert(work_buffer && "CompressBegin did not succeed");
  output = icc->output;
  input = icc->input;
  icc->flags = kKeyFrameFlag;
  if (IsSolid(input, length)) {
    // Solidity does not depend on row order or byte order; the pixel goes out as B, G, R.
    const unsigned char bgr[3] = {input[2], input[1], input[0]};
    icc->size = WriteSolid(bgr, output);
    return 0;
  }
  DeEntropyRaw(input, work_buffer.get(), width, height, residual_buffer.get());
  icc->size =
      WriteKeyFrame(compressor, work_buffer.get(), length / 3, residual_buffer.get(), output);
  return 0;
}

int CodecInst::SolidFrameTest(ICCOMPRESS* icc) {
  if (!IsSolid(input, length)) return 0;
  icc->size = WriteSolid(input, output);
  icc->flags = kKeyFrameFlag;
  return 1;
}

int CodecInst::KeyCompress(ICCOMPRESS* icc) {
  const uint32_t n = length / 3;
  unsigned char* planes = work_buffer.get();
  DeEntropy(input, planes, width, height, residual_buffer.get());
  icc->flags = kKeyFrameFlag;
  icc->size = WriteKeyFrame(compressor, planes, n, residual_buffer.get(), output);
  return static_cast<int>(icc->size);
}

int CodecInst::CompressEnd() {
  residual_buffer.reset();
  work_buffer.reset();
  compressor.FreeCompressBuffers();
  return 0;
}
