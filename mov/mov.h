// mov/mov.h: reading a QuickTime movie whose video is stored uncompressed.
//
// Read me first. The converter does not parse the atom tree: it holds the head of the
// movie (the header window, at most kHeaderWindowBytes) in memory and finds the atoms it
// needs by searching the window for their type codes, one after another, each search
// going on from the previous match. A code can therefore match inside another atom's
// data; that is how the walk has always worked and movies rely on nothing else.
//
// Every field of the movie is big-endian. The window is untrusted: every field and table
// is checked to lie wholly inside it before it is read, and a table that claims more
// frames than the file can hold is refused. Each function prints its own messages on
// standard output and returns false when the run must stop. Bad input gives one of:
//   Unable to find tag "<code>"                  a code missing after the previous match
//   Unsupported data format, please select ...   the first description is not raw/WRLE
//   The "<code>" atom is truncated or damaged    a field or table runs past the window
//   The sample tables claim more frames than the file can hold
//   The sample tables claim more frames than can be indexed   (more than 2^31 - 1)
// Absurd values that do fit (zero sizes, a zero duration) are taken as they are.
//
// Ownership: the caller owns the window; MovieHeader owns copies of the tables, so the
// window can be released once the walk is done.
#ifndef MOV_MOV_H_
#define MOV_MOV_H_

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kHeaderWindowBytes = 9240576;  // 0x8D0000

// Searches the four bytes of tag from position on (one-byte steps, any alignment). On a
// match moves position there, reduces remaining by the distance and returns true; else
// prints "Unable to find tag ..." and leaves both untouched.
[[nodiscard]] bool findtag(const unsigned char*& position, const char* tag, int& remaining);

// The upper 16 bits of a 32-bit big-endian field's value (the integer part of 16.16).
unsigned long from_mov_edian_s(unsigned long value);
// Turns count 32-bit big-endian words at words, in place, into native integers.
void from_mov_edian_l_block(void* words, int count);

struct sample_to_chunk {
  uint32_t first_chunk;
  uint32_t samples_per_chunk;
  uint32_t sample_description_id;
};

struct MovieHeader {
  int width = 0;
  int height = 0;
  int32_t time_scale = 0;
  int32_t sample_duration = 0;
  int raw = 0;  // 1 for "raw ", 0 for "WRLE"
  std::vector<sample_to_chunk> chunk_map;  // the sample-to-chunk table, native order
  std::vector<uint64_t> chunk_offsets;     // from "stco" (or "co64"), native order
};

// The header walk over the window: prints every message of the walk (the tags found,
// width, height, data format, frame rate, both table counts) and fills header. False
// when the run must stop; the message has been printed. Bytes past kHeaderWindowBytes
// are never looked at, even when window_len is larger. The chunk offsets come from
// "stco" or, for large movies, "co64": whichever comes first after the "stsc" match.
[[nodiscard]] bool read_movie_header(const unsigned char* window, size_t window_len,
                                     MovieHeader& header);

// Absolute file offset of every frame in play order, and their count.
extern std::vector<uint64_t> frame_offsets;
extern int total_frames;

// Fills frame_offsets and total_frames from the tables: every frame of every chunk, at
// the chunk's offset plus j * frame_size (64-bit). Appends to what is there (meant to be
// called once). False (message printed, nothing stored) when the tables claim more
// frames than a file of file_size bytes can hold or more than 2^31 - 1 in all.
[[nodiscard]] bool calc_frame_offsets(const sample_to_chunk* table, int entries,
                                      const uint64_t* chunk_offsets, int chunks,
                                      uint64_t frame_size, uint64_t file_size);

// "raw " frame (RGB, top row first) to DIB rows (BGR, bottom row first); packed rows.
// Reads and writes width * height * 3 bytes; the areas must not overlap. Writes nothing
// when width or height is 0 or less.
void raw_to_BGR(const unsigned char* source, unsigned char* target, int width, int height);

#endif  // MOV_MOV_H_
