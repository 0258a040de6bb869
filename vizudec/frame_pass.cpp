// vizudec/frame_pass.cpp: every frame of an AVI file read and decoded, in order.
#include "vizudec/frame_pass.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Some writers put the handler's lower-case form in biCompression too.
constexpr uint32_t kVizuLower = fourcc("vizu");

}  // namespace

bool open_avi_input(const char* path, AviInput& input, bool summary) {
  if (!input.file.open(path)) {
    std::printf("Unable to open the input file.\n");
    return false;
  }
  std::string error;
  if (!read_avi(input.file.size(), input.file.reader(), input.info, error)) {
    std::printf("Unable to read %s as a Vozodiva or uncompressed AVI file: %s.\n", path,
                error.c_str());
    return false;
  }
  const AviInfo& info = input.info;
  input.vizu = info.compression == kFourccVizu || info.compression == kVizuLower;
  input.total = std::max<uint64_t>(info.length, info.frames.size());
  if (!summary) return true;
  std::printf("%s: %d x %d, %s, %llu frames\n", path, info.width, info.height,
              input.vizu ? "Vozodiva compressed" : "uncompressed",
              static_cast<unsigned long long>(input.total));
  return true;
}

FramePass::FramePass(AviInput& input)
    : input_(input), work_(workers_for(input), [this](int worker, int slot) {
        process(worker, slots_[static_cast<size_t>(slot)]);
      }) {}

// Decoding workers: none for DIB input, and no more than frames that can be decoded or
// than the in-flight budget holds. A worker keeps two frames in flight, each a chunk
// (at most the encoder's bound, about 1.25 frames) and a decoded frame, and a decoder of
// about three frames: eight frames in all.
int FramePass::workers_for(const AviInput& input) {
  if (!input.vizu) return 1;
  size_t usable = 0;
  for (const AviFrame& f : input.info.frames) usable += f.damage == nullptr ? 1 : 0;
  const size_t frame =
      static_cast<size_t>(input.info.width) * static_cast<size_t>(input.info.height) * 3;
  return workers_within_budget(usable, 8 * frame);
}

bool FramePass::begin() {
  const AviInfo& info = input_.info;
  frame_bytes_ = static_cast<size_t>(info.width) * static_cast<size_t>(info.height) * 3;
  size_t chunk_bytes = 0;
  bool need_frame = true;
  if (input_.vizu) {
    for (int w = 0; w < std::max(work_.workers(), 1); ++w) {
      decoders_.push_back(std::make_unique<FrameDecoder>());
      if (!decoders_.back()->Begin(info.width, info.height)) {
        std::printf("Frames of %d x %d cannot be decoded.\n", info.width, info.height);
        return false;
      }
    }
    // No frame longer than the encoder's bound is a Vozodiva frame of this geometry, so
    // the read buffer never grows beyond it whatever the file claims.
    const size_t bound = MaxCompressedFrameSize(info.width, info.height);
    for (const AviFrame& f : info.frames)
      if (f.damage == nullptr && f.size <= bound)
        chunk_bytes = std::max<size_t>(chunk_bytes, f.size);
  } else {
    chunk_bytes = dib_chunk_bytes(need_frame);
  }
  chunk_capacity_ = chunk_bytes;
  slots_.resize(static_cast<size_t>(work_.slots()));
  for (Slot& slot : slots_) {
    if (chunk_bytes > 0) slot.chunk.reset(new uint8_t[chunk_bytes]);
    if (need_frame) slot.frame.reset(new uint8_t[frame_bytes_ + 3]);
  }
  return true;
}

// A DIB frame is read straight into the frame buffer. Its size must then be one frame,
// which lies in the file, so the file's length bounds the buffer. Frames whose rows are
// padded to 4 bytes, as other writers store DIB frames, are read into the chunk buffer
// and packed, since zoduviv's rows have no filler. Returns the chunk buffer's size.
size_t FramePass::dib_chunk_bytes(bool& need_frame) {
  row_bytes_ = static_cast<size_t>(input_.info.width) * 3;
  stride_ = (row_bytes_ + 3) & ~size_t{3};
  padded_bytes_ = stride_ * static_cast<size_t>(input_.info.height);
  bool any_packed = false;
  bool any_padded = false;
  for (const AviFrame& f : input_.info.frames) {
    if (f.damage != nullptr) continue;
    any_packed = any_packed || f.size == frame_bytes_;
    any_padded = any_padded || (padded_bytes_ != frame_bytes_ && f.size == padded_bytes_);
  }
  need_frame = any_packed || any_padded;
  return any_padded ? padded_bytes_ : 0;
}

size_t FramePass::run(const std::function<bool(size_t i, uint8_t* frame)>& sink, const char*& why) {
  why = nullptr;
  const std::vector<AviFrame>& frames = input_.info.frames;
  auto slot_of = [this](size_t i) -> Slot& { return slots_[i % slots_.size()]; };
  return work_.run(
      frames.size(), [&](size_t i) { slot_of(i).why = read_frame(frames[i], slot_of(i)); },
      [&](size_t i) {
        why = slot_of(i).why;
        return why == nullptr && sink(i, slot_of(i).frame.get());
      });
}

// Reads the frame's chunk into the slot; the reason when it cannot be read.
const char* FramePass::read_frame(const AviFrame& f, Slot& slot) {
  if (f.damage != nullptr) return f.damage;
  if (input_.vizu) {
    if (f.size > chunk_capacity_) return "it is longer than any Vozodiva frame of this size";
    if (!input_.file.read_at(f.offset, slot.chunk.get(), f.size)) return "its chunk cannot be read";
    slot.size = f.size;
    return nullptr;
  }
  const bool packed = f.size == frame_bytes_;
  const bool padded = !packed && slot.chunk && f.size == padded_bytes_;
  if (!slot.frame || (!packed && !padded)) return "its size is not that of one uncompressed frame";
  if (!input_.file.read_at(f.offset, packed ? slot.frame.get() : slot.chunk.get(), f.size))
    return "its chunk cannot be read";
  if (padded) {
    const size_t rows = frame_bytes_ / row_bytes_;
    for (size_t y = 0; y < rows; ++y)
      std::memcpy(slot.frame.get() + y * row_bytes_, slot.chunk.get() + y * stride_, row_bytes_);
  }
  return nullptr;
}

// Decodes the slot's chunk; runs on a worker.
void FramePass::process(int worker, Slot& slot) {
  if (slot.why != nullptr || !input_.vizu) return;
  if (!decoders_[static_cast<size_t>(worker)]->Decode(slot.chunk.get(), slot.size,
                                                      slot.frame.get()))
    slot.why = "it does not decode as a Vozodiva frame";
}
