// driver/sound_pass.h: the movie's sound tracks written into the AVI file next to the
// frames they play with. Private to driver/.
#ifndef DRIVER_SOUND_PASS_H_
#define DRIVER_SOUND_PASS_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "avi/avi.h"
#include "common/common.h"
#include "mov/mov.h"

// What became of the sound written so far.
enum class SoundWrite {
  kWritten,
  kUnreadable,  // samples lie outside the movie file (message printed)
  kFull,        // the AVI file cannot hold more (message printed)
  kError,       // a write error (message printed); the output is damaged
};

class SoundPass {
 public:
  // tracks and input outlive the pass.
  SoundPass(const std::vector<SoundTrack>& tracks, const InputFile& input, AviWriter& writer);

  // One audio stream per track, before AviWriter::init. False (message printed) when a
  // stream cannot be described.
  [[nodiscard]] bool add_streams();
  // Writes every track up to a little past `seconds` of play time.
  [[nodiscard]] SoundWrite write_until(double seconds);
  // Writes the rest of every track.
  [[nodiscard]] SoundWrite write_rest();

 private:
  struct Stream {
    Stream(const SoundTrack& t, ReadAt read_at) : track(t), reader(t, std::move(read_at)) {}
    const SoundTrack& track;
    SoundReader reader;
    int stream = -1;
    uint64_t chunk = 0;  // frames of a chunk
    uint64_t step = 1;   // frames that make a multiple of 4 bytes
    std::unique_ptr<uint8_t[]> buffer;
  };

  SoundWrite write_stream(Stream& s, uint64_t target);

  AviWriter& writer_;
  std::deque<Stream> streams_;  // a deque: the readers keep their places
};

#endif  // DRIVER_SOUND_PASS_H_
