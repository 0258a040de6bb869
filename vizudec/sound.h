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
#include "vizudec/frame_pass.h"

// Why a sound chunk of the stream cannot be used, or null when it is whole.
const char* sound_chunk_damage(const AviAudio& stream, const AviFrame& chunk);

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
