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
  int sets = 1;  // frames whose planes fit at once
  // Per set, planes 0 and 1 of `pixels` bytes. Plane 2 of a frame lies in the last third
  // of its own output, which the rebuild allows: a plane less to touch per frame.
  std::unique_ptr<uint8_t[]> planes;
  std::unique_ptr<uint8_t[]> rle;  // per set and plane, a run buffer of rle_capacity bytes
  size_t rle_capacity = 0;
  std::unique_ptr<uint8_t[]> rows;  // scratch rows of the reconstruction

  // A key frame read up to its range codes, and where its three planes go.
  struct Key {
    entropy_detail::UnpackPlan plans[3];
    entropy_detail::RangeSource sources[3];
    uint8_t* planes[3];
  };
  enum Start { kDamaged, kDone, kRangeCodes };
  Start StartFrame(const unsigned char* in, size_t in_len, unsigned char* out, int set, Key* key);
  bool Unpack(const Key& key);
  bool FinishFrame(const Key& key, unsigned char* out);
};

FrameDecoder::FrameDecoder() = default;
FrameDecoder::~FrameDecoder() = default;

bool FrameDecoder::Begin(int width, int height, bool pairs) {
  impl_.reset();
  if (width <= 0 || height <= 0) return false;
  const uint64_t n = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (n > kMaxChannelBytes) return false;

  std::unique_ptr<Impl> impl(new (std::nothrow) Impl);
  if (!impl) return false;
  impl->width = width;
  impl->height = height;
  impl->pixels = static_cast<uint32_t>(n);
  impl->sets = pairs ? 2 : 1;
  // A run length above what zero::RLE can produce for one plane is refused as damage,
  // so this is all the run buffer an honest stream needs. The run buffers are touched
  // only by zero-run coded streams that do not fit in the output (see StartFrame).
  impl->rle_capacity = zero::MaxRunCodedBytes(n);
  const size_t sets = static_cast<size_t>(impl->sets);
  impl->planes.reset(new (std::nothrow) uint8_t[sets * 2 * n]);
  impl->rle.reset(new (std::nothrow) uint8_t[sets * 3 * impl->rle_capacity]);
  impl->rows.reset(new (std::nothrow)
                       uint8_t[pairs ? PredictScratchBytesTwo(width) : PredictScratchBytes(width)]);
  if (!impl->planes || !impl->rle || !impl->rows) return false;
  impl_ = std::move(impl);
  return true;
}

// Decodes a solid frame at once; reads a key frame's three streams up to their range
// codes, which go to the planes and run buffers of `set`.
FrameDecoder::Impl::Start FrameDecoder::Impl::StartFrame(const unsigned char* in, size_t in_len,
                                                         unsigned char* out, int set, Key* key) {
  if (in_len == 0) return kDamaged;
  const size_t n = pixels;
  const size_t frame_bytes = 3 * n;

  switch (in[0]) {
    case fl::kSolidByteType:
      if (in_len < fl::kSolidByteBytes) return kDamaged;
      std::memset(out, in[1], frame_bytes);
      return kDone;
    case fl::kSolidPixelType:
      if (in_len < fl::kSolidPixelBytes) return kDamaged;
      for (size_t p = 0; p < frame_bytes; p += 3) {
        out[p] = in[1];
        out[p + 1] = in[2];
        out[p + 2] = in[3];
      }
      return kDone;
    case fl::kKeyFrameType:
      break;
    default:
      return kDamaged;
  }

  if (in_len < fl::kKeyHeaderBytes) return kDamaged;
  const size_t off2 = load_le32(in + fl::kStream2OffsetAt);
  const size_t off3 = load_le32(in + fl::kStream3OffsetAt);
  if (off2 < fl::kKeyHeaderBytes || off3 < off2 || off3 > in_len) return kDamaged;

  const size_t starts[3] = {fl::kKeyHeaderBytes, off2, off3};
  const size_t ends[3] = {off2, off3, in_len};
  uint8_t* const set_planes = planes.get() + static_cast<size_t>(set) * 2 * n;
  uint8_t* const set_rle = rle.get() + static_cast<size_t>(set) * 3 * rle_capacity;
  key->planes[0] = set_planes;
  key->planes[1] = set_planes + n;
  key->planes[2] = out + 2 * n;
  // The output's first two thirds stay unwritten until the rebuild, so the range codes of
  // zero-run coded streams go there, one after the other, while they fit; a stream that
  // does not fit uses its run buffer.
  size_t runs_at = 0;
  for (int c = 0; c < 3; ++c) {
    entropy_detail::UnpackPlan& plan = key->plans[c];
    if (!entropy_detail::PlanUnpack(in + starts[c], ends[c] - starts[c], key->planes[c], pixels,
                                    set_rle + c * rle_capacity, rle_capacity, &plan))
      return kDamaged;
    if (plan.method != 0 && plan.coded <= 2 * n - runs_at) {
      plan.coded_out = out + runs_at;
      runs_at += plan.coded;
    }
    key->sources[c] = {plan.prob, plan.shift, plan.code, plan.code_len, plan.coded_out, plan.coded};
  }
  return kRangeCodes;
}

// Once the range codes are decoded: undoes any zero-run coding into the key's planes.
bool FrameDecoder::Impl::Unpack(const Key& key) {
  for (int c = 0; c < 3; ++c) {
    if (!entropy_detail::FinishUnpack(key.plans[c], key.planes[c], pixels)) return false;
  }
  return true;
}

// Unpack, then the frame rebuilt from the planes.
bool FrameDecoder::Impl::FinishFrame(const Key& key, unsigned char* out) {
  if (!Unpack(key)) return false;
  ReEntropy(key.planes, out, width, height, rows.get());
  return true;
}

// The three streams are read up to their range codes, the three range codes are decoded
// in one interleaved pass, and then any zero-run coding is undone: the same checks and
// results as three calls of Compress::uncompact.
bool FrameDecoder::Decode(const unsigned char* in, size_t in_len, unsigned char* out) {
  if (!impl_) return false;
  Impl::Key key;
  const Impl::Start start = impl_->StartFrame(in, in_len, out, 0, &key);
  if (start != Impl::kRangeCodes) return start == Impl::kDone;
  return entropy_detail::DecodeThree(key.sources) && impl_->FinishFrame(key, out);
}

void FrameDecoder::DecodeTwo(const unsigned char* const in[2], const size_t in_len[2],
                             unsigned char* const out[2], bool ok[2]) {
  if (!impl_ || impl_->sets < 2) {
    for (int k = 0; k < 2; ++k) ok[k] = Decode(in[k], in_len[k], out[k]);
    return;
  }
  Impl::Key keys[2];
  Impl::Start start[2];
  for (int k = 0; k < 2; ++k) start[k] = impl_->StartFrame(in[k], in_len[k], out[k], k, &keys[k]);
  if (start[0] == Impl::kRangeCodes && start[1] == Impl::kRangeCodes) {
    entropy_detail::RangeSource six[6];
    for (int c = 0; c < 3; ++c) {
      six[c] = keys[0].sources[c];
      six[3 + c] = keys[1].sources[c];
    }
    if (entropy_detail::DecodeSix(six)) {
      ok[0] = impl_->Unpack(keys[0]);
      ok[1] = impl_->Unpack(keys[1]);
      if (ok[0] && ok[1]) {
        const unsigned char* const planes[2][3] = {
            {keys[0].planes[0], keys[0].planes[1], keys[0].planes[2]},
            {keys[1].planes[0], keys[1].planes[1], keys[1].planes[2]}};
        ReEntropyTwo(planes, out, impl_->width, impl_->height, impl_->rows.get());
      } else {
        for (int k = 0; k < 2; ++k)
          if (ok[k])
            ReEntropy(keys[k].planes, out[k], impl_->width, impl_->height, impl_->rows.get());
      }
      return;
    }
    // One of the two is damaged: each decoded on its own tells which.
  }
  for (int k = 0; k < 2; ++k) {
    ok[k] = start[k] == Impl::kRangeCodes ? entropy_detail::DecodeThree(keys[k].sources) &&
                                                impl_->FinishFrame(keys[k], out[k])
                                          : start[k] == Impl::kDone;
  }
}
