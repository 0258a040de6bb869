// vizudec/sound.cpp: the sound streams of an AVI file, checked and copied unchanged.
#include "vizudec/sound.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

// No sound chunk zoduviv writes comes near this (half a second of 8 channels of 64-bit
// samples at 384 kHz is 12 MB); the copy buffer is never sized beyond it.
constexpr uint32_t kMaxSoundChunkBytes = 64u << 20;

bool copyable(const AviAudioFormat& f) {
  const bool tag = f.format_tag == 1 || f.format_tag == 3 || f.format_tag == 6 || f.format_tag == 7;
  return tag && f.channels > 0 && f.sample_rate > 0 && f.block_align > 0 && f.bits_per_sample > 0;
}

void print_chunk_damage(const AviAudio& a, size_t chunk, const char* why) {
  std::printf("Sound chunk %zu of stream %d is damaged: %s.\n", chunk + 1, a.stream, why);
}

}  // namespace

const char* sound_chunk_damage(const AviAudio& stream, const AviFrame& chunk) {
  if (chunk.damage != nullptr) return chunk.damage;
  if (stream.format.block_align == 0) return "its stream declares no block alignment";
  if (chunk.size % stream.format.block_align != 0)
    return "its size is not a whole number of blocks";
  return nullptr;
}

bool check_sound(const AviInfo& info) {
  size_t chunks = 0;
  for (const AviAudio& a : info.audio) {
    for (size_t i = 0; i < a.chunks.size(); ++i) {
      const char* why = sound_chunk_damage(a, a.chunks[i]);
      if (why != nullptr) {
        print_chunk_damage(a, i, why);
        return false;
      }
    }
    chunks += a.chunks.size();
  }
  if (!info.audio.empty())
    std::printf("Checked %zu sound chunks of %zu sound streams, all whole\n", chunks,
                info.audio.size());
  return true;
}

SoundCopy::SoundCopy(const AviInput& input) : input_(input) {}

void SoundCopy::add_streams(AviWriter& writer) {
  const std::vector<AviAudio>& audio = input_.info.audio;
  uint32_t largest = 0;
  for (size_t s = 0; s < audio.size(); ++s) {
    const AviAudio& a = audio[s];
    const int number = copyable(a.format) ? writer.add_audio_stream(a.format) : -1;
    out_stream_.push_back(number);
    if (number < 0) {
      std::printf(
          "Sound stream %d (format tag 0x%04X) is not uncompressed sound; it is left out.\n",
          a.stream, a.format.format_tag);
      continue;
    }
    uint64_t at = 0;
    for (size_t i = 0; i < a.chunks.size(); ++i) {
      const AviFrame& c = a.chunks[i];
      if (c.damage == nullptr) at = c.offset;
      order_.push_back({at, s, i});
      if (sound_chunk_damage(a, c) == nullptr && c.size <= kMaxSoundChunkBytes)
        largest = std::max(largest, c.size);
    }
  }
  std::stable_sort(order_.begin(), order_.end(),
                   [](const Chunk& x, const Chunk& y) { return x.at < y.at; });
  if (largest > 0) buffer_.reset(new unsigned char[largest]);
}

bool SoundCopy::copy_before(uint64_t offset, AviWriter& writer, FrameWrite& written) {
  for (; next_ < order_.size() && order_[next_].at < offset; ++next_) {
    const Chunk& k = order_[next_];
    const AviAudio& a = input_.info.audio[k.stream];
    const AviFrame& c = a.chunks[k.index];
    const char* why = sound_chunk_damage(a, c);
    if (why == nullptr && c.size > kMaxSoundChunkBytes) why = "it is too large to copy";
    if (why == nullptr && !input_.file.read_at(c.offset, buffer_.get(), c.size))
      why = "its chunk cannot be read";
    if (why != nullptr) {
      print_chunk_damage(a, k.index, why);
      damaged_ = true;
      return false;
    }
    written = writer.write_audio(out_stream_[k.stream], buffer_.get(), c.size);
    if (written != FrameWrite::kWritten) return false;
  }
  return true;
}
