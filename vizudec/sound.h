// vizudec/sound.h: the sound streams of an AVI file, checked and copied unchanged (private
// to vizudec).
//
// Sound chunks are copied in the file's order relative to the frames: every chunk that lies
// before a frame in the input is written before that frame, so a file zoduviv -u wrote
// comes back byte for byte. A chunk is whole when read_avi found it inside the file and its
// size is a whole number of its stream's blocks.
#ifndef VIZUDEC_SOUND_H_
#define VIZUDEC_SOUND_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "avi/avi.h"
#include "common/common.h"
#include "mov/mov.h"
#include "vizudec/frame_pass.h"

// No sound chunk zoduviv writes comes near this (half a second of 8 channels of 64-bit
// samples at 384 kHz is 12 MB); a buffer for a chunk is never sized beyond it.
constexpr uint32_t kMaxSoundChunkBytes = 64u << 20;

// Why a sound chunk of the stream cannot be used, or null when it is whole.
const char* sound_chunk_damage(const AviAudio& stream, const AviFrame& chunk);

// vizudec -c's part: the AVI file's sound streams hold exactly the movie's carried sound
// tracks, in order. Adds the frames compared to `samples`; prints the first difference (a
// missing track, another format or length, the first differing sample and channel, a
// damaged chunk) and returns false.
[[nodiscard]] bool compare_sound(const std::vector<SoundTrack>& tracks, const InputFile& movie,
                                 const AviInput& avi, uint64_t& samples);

// vizudec -t's part: prints the first chunk that is not whole and returns false.
[[nodiscard]] bool check_sound(const AviInfo& info);

class SoundCopy {
 public:
  explicit SoundCopy(const AviInput& input);

  // Before the writer's init: adds the streams the writer can describe; prints a line for
  // each one left out. Sizes the one chunk buffer.
  void add_streams(AviWriter& writer);
  // Copies every chunk not yet copied that lies before `offset` in the input. False when
  // one cannot be: a damaged chunk (its line printed; damaged() then says so) or the
  // writer refused it (its result in written).
  [[nodiscard]] bool copy_before(uint64_t offset, AviWriter& writer, FrameWrite& written);
  bool damaged() const { return damaged_; }

 private:
  struct Chunk {
    uint64_t at;    // where it lies; a damaged chunk takes the place of the one before it
    size_t stream;  // in input.info.audio
    size_t index;   // in that stream's chunks
  };
  const AviInput& input_;
  std::vector<int> out_stream_;  // per input stream: the writer's stream, or -1 (left out)
  std::vector<Chunk> order_;     // every chunk of the streams copied, in file order
  size_t next_ = 0;
  std::unique_ptr<unsigned char[]> buffer_;
  bool damaged_ = false;
};

#endif  // VIZUDEC_SOUND_H_
