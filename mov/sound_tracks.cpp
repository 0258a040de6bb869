// The sound tracks of a movie: which ones can be carried, where their samples lie, and
// the reading of those samples in play order, in WAVE's form.
//
// A "sample" of an uncompressed sound track's tables is one frame (a sample of every
// channel). Most writers give the sample-size table a constant size of 1 whatever the
// frame's real size, so a chunk of the tables holds its sample count of frames. A size
// that is a whole number of frames larger is taken as packets of that many frames, and a
// movie fragment lists the real size of each of its samples.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "mov/messages.h"
#include "mov/mov.h"

namespace {

// The frames of chunk c, or false when its sizes are no whole number of frames.
bool frames_of(const MovieTrack& track, const MediaChunk& c, uint32_t block_align,
               uint64_t& frames) {
  if (!c.listed) {
    if (c.sample_size <= 1 || c.sample_size == block_align) {
      frames = c.samples;
      return true;
    }
    if (c.sample_size % block_align != 0) return false;
    frames = uint64_t{c.samples} * (c.sample_size / block_align);
    return true;
  }
  frames = 0;
  for (uint32_t j = 0; j < c.samples; ++j) {
    const uint32_t size = track.size_in(c, j);
    if (size == 0 || size % block_align != 0) return false;
    frames += size / block_align;
  }
  return true;
}

// The spans of a carried track; false with why set when its tables cannot be carried.
bool spans_of(const MovieTrack& track, uint64_t file_size, SoundTrack& sound, std::string& why) {
  const uint32_t block_align = sound.format.block_align;
  // The samples of a real movie lie in its file side by side, so all of them together
  // fit the file; a larger claim is damage, and the bound keeps every sum in range.
  const uint64_t most = file_size / block_align;
  for (const MediaChunk& c : track.chunks) {
    uint64_t frames = 0;
    if (!frames_of(track, c, block_align, frames)) {
      why = "has samples that are no whole number of frames";
      return false;
    }
    if (frames > most - sound.frames) {
      why = "claims more samples than the file can hold";
      return false;
    }
    if (frames == 0) continue;
    sound.spans.push_back({c.offset, frames});
    sound.frames += frames;
  }
  return true;
}

}  // namespace

std::vector<SoundTrack> find_sound_tracks(const MovieHeader& header, uint64_t file_size) {
  std::vector<SoundTrack> carried;
  for (size_t k = 0; k < header.tracks.size(); ++k) {
    const MovieTrack& track = header.tracks[k];
    if (!track.is("soun")) continue;
    SoundTrack sound;
    sound.number = static_cast<int>(k + 1);
    std::string why;
    const uint32_t time_scale = track.time_scale > 0 ? uint32_t(track.time_scale) : 0;
    const bool ok = read_sound_description(track.description.data(), track.description.size(),
                                           time_scale, sound.format, why) &&
                    spans_of(track, file_size, sound, why);
    if (!ok) {
      const unsigned char* c = track.description.size() >= 8 ? &track.description[4] : nullptr;
      mov_internal::say("Sound track %d (\"%c%c%c%c\") %s; it is left out of the AVI file.\n",
                        sound.number, c ? c[0] : '?', c ? c[1] : '?', c ? c[2] : '?',
                        c ? c[3] : '?', why.c_str());
      continue;
    }
    mov_internal::say("Sound track %d: %s\n", sound.number, describe_sound(sound.format).c_str());
    carried.push_back(std::move(sound));
  }
  return carried;
}

SoundReader::SoundReader(const SoundTrack& track, ReadAt read_at)
    : track_(track), read_at_(std::move(read_at)) {}

bool SoundReader::read(uint8_t* dst, uint64_t frames) {
  const uint32_t block_align = track_.format.block_align;
  uint8_t* out = dst;
  for (uint64_t left = frames; left > 0;) {
    if (span_ >= track_.spans.size()) return false;
    const SoundSpan& s = track_.spans[span_];
    const uint64_t n = std::min(left, s.frames - in_span_);
    // A span's frames fit the file (find_sound_tracks), but its offset is the file's word.
    if (s.offset > std::numeric_limits<uint64_t>::max() - (in_span_ + n) * block_align)
      return false;
    if (!read_at_(s.offset + in_span_ * block_align, out, static_cast<size_t>(n * block_align)))
      return false;
    out += n * block_align;
    left -= n;
    in_span_ += n;
    if (in_span_ == s.frames) {
      ++span_;
      in_span_ = 0;
    }
  }
  sound_to_wave(track_.format, dst, static_cast<size_t>(frames));
  position_ += frames;
  return true;
}
