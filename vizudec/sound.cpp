// vizudec/sound.cpp: the sound streams of an AVI file, checked and copied unchanged.
#include "vizudec/sound.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace {

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

namespace {

// Prints the first frame and channel where two runs of WAVE samples differ.
void print_sound_difference(const SoundTrack& t, uint64_t first, const uint8_t* a,
                            const uint8_t* b) {
  size_t k = 0;
  while (a[k] == b[k]) ++k;
  const uint32_t bytes = t.format.bits / 8;
  std::printf(
      "Sound track %d differs from the movie's: first at sample %llu of %llu, channel %u.\n",
      t.number, static_cast<unsigned long long>(first + k / t.format.block_align + 1),
      static_cast<unsigned long long>(t.frames),
      static_cast<unsigned>(k % t.format.block_align / bytes + 1));
}

// One stream against its track: the same format and every sample.
bool compare_stream(const SoundTrack& t, const InputFile& movie, const AviAudio& a,
                    const InputFile& avi) {
  const AviAudioFormat& f = a.format;
  if (f.sample_rate != t.format.rate || f.channels != t.format.channels ||
      f.block_align != t.format.block_align || f.bits_per_sample != t.format.bits) {
    std::printf("Sound track %d of the AVI file is not the movie's: %s in the movie.\n", t.number,
                describe_sound(t.format).c_str());
    return false;
  }
  uint64_t blocks = 0;
  for (size_t i = 0; i < a.chunks.size(); ++i) {
    const AviFrame& c = a.chunks[i];
    const char* why = sound_chunk_damage(a, c);
    if (why == nullptr && c.size > kMaxSoundChunkBytes) why = "it is too large to compare";
    if (why != nullptr) {
      print_chunk_damage(a, i, why);
      return false;
    }
    blocks += c.size / f.block_align;
  }
  if (blocks != t.frames) {
    std::printf("Sound track %d holds %llu samples in the AVI file, %llu in the movie.\n", t.number,
                static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(t.frames));
    return false;
  }
  SoundReader reader(t, movie.reader());
  std::unique_ptr<uint8_t[]> ours, theirs;
  uint32_t room = 0;
  for (const AviFrame& c : a.chunks) {
    if (c.size > room) {  // grows to the largest chunk, a few times at most
      room = c.size;
      ours.reset(new uint8_t[room]);
      theirs.reset(new uint8_t[room]);
    }
    const uint64_t first = reader.position();
    if (!avi.read_at(c.offset, ours.get(), c.size) ||
        !reader.read(theirs.get(), c.size / f.block_align)) {
      std::printf("Sound track %d: sample %llu cannot be read from the files.\n", t.number,
                  static_cast<unsigned long long>(first + 1));
      return false;
    }
    if (std::memcmp(ours.get(), theirs.get(), c.size) != 0) {
      print_sound_difference(t, first, ours.get(), theirs.get());
      return false;
    }
  }
  return true;
}

}  // namespace

bool compare_sound(const std::vector<SoundTrack>& tracks, const InputFile& movie,
                   const AviInput& avi, uint64_t& samples) {
  const std::vector<AviAudio>& streams = avi.info.audio;
  for (size_t k = 0; k < tracks.size(); ++k) {
    if (k >= streams.size()) {
      std::printf("Sound track %d of the movie is missing from the AVI file.\n", tracks[k].number);
      return false;
    }
    if (!compare_stream(tracks[k], movie, streams[k], avi.file)) return false;
    samples += tracks[k].frames;
  }
  if (streams.size() > tracks.size()) {
    std::printf("The AVI file holds %zu sound streams, the movie %zu sound tracks.\n",
                streams.size(), tracks.size());
    return false;
  }
  return true;
}
