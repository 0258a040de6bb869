// driver/sound_pass.cpp: the movie's sound written next to the frames it plays with.
//
// Before frame i goes into the file, every sound track is written up to a quarter of a
// second past the end of that frame, in chunks of at most half a second: so each sound
// chunk lies within about a second of play time of the frames around it, and a player
// reading the file front to back never seeks back. Sound that plays after the last frame
// follows it. A chunk holds a whole number of frames and, wherever the block alignment
// allows, a multiple of 4 bytes.
#include "driver/sound_pass.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace {

constexpr double kLeadSeconds = 0.25;
// Half a second of the widest sound carried (64 channels of 64-bit samples at 768 kHz)
// is 192 MiB; chunks stay below this instead, shorter than half a second.
constexpr uint64_t kMaxChunkBytes = uint64_t{16} << 20;

// Frames of a chunk: half a second, in steps that keep the chunk a multiple of 4 bytes.
uint64_t chunk_frames(const SoundFormat& f, uint64_t& step) {
  step = 4 / std::gcd<uint64_t>(f.block_align, 4);
  const uint64_t frames = std::min<uint64_t>(f.rate / 2, kMaxChunkBytes / f.block_align);
  return std::max<uint64_t>(step, frames / step * step);
}

}  // namespace

SoundPass::SoundPass(const std::vector<SoundTrack>& tracks, const InputFile& input,
                     AviWriter& writer)
    : writer_(writer) {
  for (const SoundTrack& t : tracks) {
    Stream& s = streams_.emplace_back(t, input.reader());
    s.chunk = chunk_frames(t.format, s.step);
  }
}

bool SoundPass::add_streams() {
  for (Stream& s : streams_) {
    const SoundFormat& f = s.track.format;
    AviAudioFormat a;
    a.format_tag = f.coding == SoundCoding::kFloat   ? 3
                   : f.coding == SoundCoding::kALaw  ? 6
                   : f.coding == SoundCoding::kMuLaw ? 7
                                                     : 1;
    a.channels = static_cast<uint16_t>(f.channels);
    a.sample_rate = f.rate;
    a.bits_per_sample = static_cast<uint16_t>(f.bits);
    a.block_align = static_cast<uint16_t>(f.block_align);
    s.stream = writer_.add_audio_stream(a);
    if (s.stream < 0) {
      std::printf("Sound track %d cannot be described in an AVI file.\n", s.track.number);
      return false;
    }
    s.buffer.reset(new uint8_t[s.chunk * f.block_align]);
  }
  return true;
}

SoundWrite SoundPass::write_until(double seconds) {
  for (Stream& s : streams_) {
    const double wanted = std::ceil((seconds + kLeadSeconds) * s.track.format.rate);
    const uint64_t target = wanted >= static_cast<double>(s.track.frames)
                                ? s.track.frames
                                : static_cast<uint64_t>(std::max(wanted, 0.0));
    const SoundWrite w = write_stream(s, target);
    if (w != SoundWrite::kWritten) return w;
  }
  return SoundWrite::kWritten;
}

SoundWrite SoundPass::write_rest() {
  for (Stream& s : streams_) {
    const SoundWrite w = write_stream(s, s.track.frames);
    if (w != SoundWrite::kWritten) return w;
  }
  return SoundWrite::kWritten;
}

SoundWrite SoundPass::write_stream(Stream& s, uint64_t target) {
  const uint32_t block_align = s.track.format.block_align;
  while (s.reader.position() < target) {
    const uint64_t left = s.track.frames - s.reader.position();
    uint64_t n = std::min(s.chunk, left);
    // Only the track's last chunk may end off the 4-byte steps.
    if (n < left) n = std::max(s.step, n / s.step * s.step);
    const uint64_t first = s.reader.position();
    if (!s.reader.read(s.buffer.get(), n)) {
      std::printf(
          "Sound track %d: sample %llu of %llu lies past the end of the input file or cannot be "
          "read; the movie is truncated or damaged.\n",
          s.track.number, static_cast<unsigned long long>(first + 1),
          static_cast<unsigned long long>(s.track.frames));
      return SoundWrite::kUnreadable;
    }
    switch (writer_.write_audio(s.stream, s.buffer.get(), static_cast<uint32_t>(n * block_align))) {
      case FrameWrite::kWritten:
        break;
      case FrameWrite::kFull:
        return SoundWrite::kFull;
      case FrameWrite::kError:
        return SoundWrite::kError;
    }
  }
  return SoundWrite::kWritten;
}
