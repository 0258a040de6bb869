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

// Decoding workers: none for DIB input, and no more than frame pairs that can be
// decoded or than the in-flight budget holds. A worker keeps two pairs of frames in
// flight, each frame a chunk (at most the encoder's bound, about 1.25 frames) and a
// decoded frame, and a decoder of under six frames: sixteen frames in all.
int FramePass::workers_for(const AviInput& input) {
  if (!input.vizu) return 1;
  size_t usable = 0;
  for (const AviFrame& f : input.info.frames) usable += f.damage == nullptr ? 1 : 0;
  const size_t frame =
      static_cast<size_t>(input.info.width) * static_cast<size_t>(input.info.height) * 3;
  return workers_within_budget((usable + 1) / 2, 16 * frame);
}

bool FramePass::begin() {
  const AviInfo& info = input_.info;
  frame_bytes_ = static_cast<size_t>(info.width) * static_cast<size_t>(info.height) * 3;
  size_t chunk_bytes = 0;
  bool need_frame = true;
  if (input_.vizu) {
    for (int w = 0; w < std::max(work_.workers(), 1); ++w) {
      decoders_.push_back(std::make_unique<FrameDecoder>());
      if (!decoders_.back()->Begin(info.width, info.height, true)) {
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
    for (Frame& f : slot.frames) {
      if (chunk_bytes > 0) f.chunk.reset(new uint8_t[chunk_bytes]);
      if (need_frame) f.frame.reset(new uint8_t[frame_bytes_ + 3]);
    }
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
  auto slot_of = [this](size_t pair) -> Slot& { return slots_[pair % slots_.size()]; };
  size_t stopped = frames.size();
  work_.run((frames.size() + 1) / 2,
            [&](size_t pair) {
              Slot& slot = slot_of(pair);
              slot.count = frames.size() - 2 * pair >= 2 ? 2 : 1;
              for (int k = 0; k < slot.count; ++k)
                slot.frames[k].why = read_frame(frames[2 * pair + k], slot.frames[k]);
            },
            [&](size_t pair) {
              Slot& slot = slot_of(pair);
              for (int k = 0; k < slot.count; ++k) {
                why = slot.frames[k].why;
                if (why != nullptr || !sink(2 * pair + k, slot.frames[k].frame.get())) {
                  stopped = 2 * pair + k;
                  return false;
                }
              }
              return true;
            });
  return stopped;
}

// Reads the frame's chunk into the slot; the reason when it cannot be read.
const char* FramePass::read_frame(const AviFrame& f, Frame& slot) {
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

// Decodes the slot's chunks, two together when both were read; runs on a worker.
void FramePass::process(int worker, Slot& slot) {
  if (!input_.vizu) return;
  FrameDecoder& decoder = *decoders_[static_cast<size_t>(worker)];
  Frame* const f = slot.frames;
  if (slot.count == 2 && f[0].why == nullptr && f[1].why == nullptr) {
    const unsigned char* const in[2] = {f[0].chunk.get(), f[1].chunk.get()};
    const size_t in_len[2] = {f[0].size, f[1].size};
    unsigned char* const out[2] = {f[0].frame.get(), f[1].frame.get()};
    bool ok[2];
    decoder.DecodeTwo(in, in_len, out, ok);
    for (int k = 0; k < 2; ++k)
      if (!ok[k]) f[k].why = "it does not decode as a Vozodiva frame";
    return;
  }
  for (int k = 0; k < slot.count; ++k) {
    if (f[k].why == nullptr && !decoder.Decode(f[k].chunk.get(), f[k].size, f[k].frame.get()))
      f[k].why = "it does not decode as a Vozodiva frame";
  }
}
