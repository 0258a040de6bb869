// The frame index: the absolute file offset of every frame, from the sample-to-chunk
// table and the chunk offsets. The sample sizes are not read: every frame is frame_size
// bytes and the frames of one chunk follow each other without gaps.
#include <algorithm>
#include <cstdio>
#include <limits>

#include "mov/messages.h"
#include "mov/mov.h"

std::vector<uint64_t> frame_offsets;
int total_frames = 0;

namespace {

// Calls visit(chunk, frames in that chunk) for every chunk in order, until it returns
// false. The first entry is taken to start at chunk 1 whatever its first_chunk says; a
// later entry takes over at the chunk its first_chunk names (at most one step per chunk).
template <typename Visit>
void for_each_chunk(const sample_to_chunk* table, int entries, int chunks, Visit visit) {
  if (entries <= 0) return;
  int k = 0;
  for (int i = 0; i < chunks; ++i) {
    const uint32_t number = static_cast<uint32_t>(i) + 1;
    if (k + 1 < entries && number >= table[k + 1].first_chunk) ++k;
    if (!visit(i, table[k].samples_per_chunk)) return;
  }
}

}  // namespace

bool calc_frame_offsets(const sample_to_chunk* table, int entries, const uint64_t* chunk_offsets,
                        int chunks, uint64_t frame_size, uint64_t file_size) {
  // The counts come from the file: count the frames first, against what a file of
  // file_size bytes can hold and what an int can count, and only then allocate.
  const uint64_t fit_in_file = file_size / std::max<uint64_t>(frame_size, 1);
  const uint64_t countable = static_cast<uint64_t>(std::numeric_limits<int>::max() - total_frames);
  const uint64_t limit = std::min(fit_in_file, countable);
  uint64_t frames = 0;
  for_each_chunk(table, entries, chunks, [&](int, uint32_t samples) {
    frames += samples;
    return frames <= limit;
  });
  if (frames > fit_in_file) {
    mov_internal::say("The sample tables claim more frames than the file can hold\n");
    return false;
  }
  if (frames > countable) {
    mov_internal::say("The sample tables claim more frames than can be indexed\n");
    return false;
  }

  frame_offsets.resize(static_cast<size_t>(total_frames) + frames);
  uint64_t* out = frame_offsets.data() + total_frames;
  for_each_chunk(table, entries, chunks, [&](int i, uint32_t samples) {
    for (uint32_t j = 0; j < samples; ++j) *out++ = chunk_offsets[i] + j * frame_size;
    return true;
  });
  total_frames += static_cast<int>(frames);
  return true;
}
