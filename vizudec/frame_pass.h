// vizudec/frame_pass.h: every frame of an AVI file read and decoded, in order (private
// to vizudec).
#ifndef VIZUDEC_FRAME_PASS_H_
#define VIZUDEC_FRAME_PASS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "common/common.h"

// An AVI file opened and indexed.
struct AviInput {
  InputFile file;
  AviInfo info;
  bool vizu = false;   // Vozodiva frames; else uncompressed DIB frames
  uint64_t total = 0;  // frames to name in messages: the declared count or more
};

// Opens and indexes the file and, when `summary` is set, prints its summary line; prints
// its own message and returns false when it cannot.
[[nodiscard]] bool open_avi_input(const char* path, AviInput& input, bool summary = true);

class FramePass {
 public:
  explicit FramePass(AviInput& input);

  // Sizes every buffer; prints its own message when the geometry cannot be decoded.
  [[nodiscard]] bool begin();

  // Reads and decodes every frame and hands each decoded DIB frame (bottom row first,
  // packed rows, with 3 writable bytes behind it) to sink in frame order. Returns the
  // index of the first frame that is damaged (its reason in why) or that sink refused,
  // else the frame count.
  size_t run(const std::function<bool(size_t i, uint8_t* frame)>& sink, const char*& why);

  size_t frame_bytes() const { return frame_bytes_; }

 private:
  // One frame in flight: its chunk as read from the file and the decoded DIB frame.
  struct Frame {
    std::unique_ptr<uint8_t[]> chunk;
    std::unique_ptr<uint8_t[]> frame;  // frame_bytes + 3: write_frame zeroes pad bytes there
    uint32_t size = 0;                 // bytes of the chunk read
    const char* why = nullptr;         // null, or why the frame is damaged
  };
  // The unit of work: two frames in a row (one for the last of an odd count), which a
  // worker decodes together.
  struct Slot {
    Frame frames[2];
    int count = 0;
  };

  static int workers_for(const AviInput& input);
  size_t dib_chunk_bytes(bool& need_frame);
  const char* read_frame(const AviFrame& f, Frame& slot);
  void process(int worker, Slot& slot);

  AviInput& input_;
  std::vector<std::unique_ptr<FrameDecoder>> decoders_;  // one per worker
  size_t frame_bytes_ = 0;
  size_t chunk_capacity_ = 0;
  size_t row_bytes_ = 0;     // DIB input: bytes of one packed row
  size_t stride_ = 0;        // DIB input: one row padded to 4 bytes
  size_t padded_bytes_ = 0;  // DIB input: a frame of padded rows
  std::vector<Slot> slots_;
  OrderedWork work_;  // last: its workers stop before the slots and decoders go
};

#endif  // VIZUDEC_FRAME_PASS_H_
