// Arbitrary bytes as the head of a movie: the header walk, then the frame index with the
// input's own length as the file size. Every offset the index stores must fit the claim
// checks: no more frames than the file can hold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mov/mov.h"

namespace {

// The walk prints on standard output; the fuzzer's own reports go to stderr.
const bool kQuiet = std::freopen("/dev/null", "w", stdout) != nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)kQuiet;
  frame_offsets.clear();
  total_frames = 0;
  MovieHeader header;
  if (!read_movie_header(data, size, header)) return 0;
  const uint64_t frame_size = uint64_t{static_cast<uint32_t>(header.width)} *
                              static_cast<uint32_t>(header.height) * 3;
  const bool ok = calc_frame_offsets(header.chunk_map.data(),
                                     static_cast<int>(header.chunk_map.size()),
                                     header.chunk_offsets.data(),
                                     static_cast<int>(header.chunk_offsets.size()), frame_size,
                                     size);
  if (ok) {
    const uint64_t per_frame = frame_size == 0 ? 1 : frame_size;
    if (frame_offsets.size() != static_cast<size_t>(total_frames) ||
        static_cast<uint64_t>(total_frames) > size / per_frame) {
      std::abort();
    }
  }
  return 0;
}
