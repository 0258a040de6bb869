// Arbitrary bytes as a movie file, read by read_movie: the top-level walk, the movie
// atom's tree and the choice of its video track, the movie fragments, the header walk
// over the head, the frame index. Bytes that start with a movie atom ("moov") are
// read a second time as the end of a larger file, behind a "free" atom that fills the
// head, so that the movie atom lies beyond the head and is walked on its own. The free
// atom's body is a hole whose reads fail; the walk never reaches it.
//
// Every read must lie inside the file, and every offset the index stores must fit the
// claim checks: no more frames than the file can hold. Then the sound tracks are found and
// every carried one is read through SoundReader, a few MB at most: no track claims more
// frames than the file holds, and a read the file cannot give fails the reader.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mov/mov.h"

namespace {

// The walk prints on standard output; the fuzzer's own reports go to stderr.
const bool kQuiet = std::freopen("/dev/null", "w", stdout) != nullptr;

// A "free" atom over the whole head, in the 64-bit size form.
constexpr unsigned char kFreeAtom[16] = {0, 0, 0, 1, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 0, 0x8D, 0, 0};
static_assert(kHeaderWindowBytes == 0x8D0000, "the free atom fills the head");

// Reads every carried sound track whole, in pieces, up to kMaxSoundBytes in all.
constexpr uint64_t kMaxSoundBytes = uint64_t{4} << 20;
void read_sound(const MovieHeader& header, uint64_t file_size, const ReadAt& read_at) {
  const ReadAt inside = [&](uint64_t off, unsigned char* dst, size_t n) {
    return off <= file_size && n <= file_size - off && read_at(off, dst, n);
  };
  std::vector<uint8_t> buffer;
  uint64_t budget = kMaxSoundBytes;
  for (const SoundTrack& track : find_sound_tracks(header, file_size)) {
    const uint32_t align = track.format.block_align;
    if (align == 0 || track.frames > file_size / align) std::abort();
    SoundReader reader(track, inside);
    const uint64_t piece = std::max<uint64_t>(1, 65536 / align);
    buffer.resize(piece * align);
    while (reader.position() < track.frames && budget >= buffer.size()) {
      const uint64_t n = std::min(piece, track.frames - reader.position());
      if (!reader.read(buffer.data(), n)) break;
      budget -= buffer.size();
    }
  }
}

void read_as_movie(const uint8_t* data, size_t size, uint64_t padding) {
  const uint64_t file_size = padding + size;
  const ReadAt read_at = [&](uint64_t off, unsigned char* dst, size_t n) {
    if (off > file_size || n > file_size - off) std::abort();  // a read outside the file
    if (off >= padding) {
      if (n > 0) std::memcpy(dst, data + (off - padding), n);
      return true;
    }
    if (n > sizeof kFreeAtom || off > sizeof kFreeAtom - n) return false;
    std::memcpy(dst, kFreeAtom + off, n);
    return true;
  };
  MovieHeader header;
  if (!read_movie(file_size, read_at, header)) return;
  const uint64_t packed =
      uint64_t{static_cast<uint32_t>(header.width)} * static_cast<uint32_t>(header.height) * 3;
  if (header.row_stride * static_cast<uint32_t>(header.height) != header.frame_bytes ||
      header.frame_bytes < packed) {
    std::abort();  // rows shorter than the picture's, or a frame size no stride gives
  }
  const uint64_t per_frame = header.frame_bytes == 0 ? 1 : header.frame_bytes;
  if (frame_offsets.size() != static_cast<size_t>(total_frames) ||
      static_cast<uint64_t>(total_frames) > file_size / per_frame) {
    std::abort();
  }
  read_sound(header, file_size, read_at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)kQuiet;
  read_as_movie(data, size, 0);
  // Only a movie atom right at the head's end keeps the second file from reading a head
  // of 9 MB, which would slow the fuzzer a hundredfold for nothing new.
  if (size >= 8 && std::memcmp(data + 4, "moov", 4) == 0)
    read_as_movie(data, size, kHeaderWindowBytes);
  return 0;
}
