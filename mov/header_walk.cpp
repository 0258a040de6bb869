// The header walk: seven searches for type codes over the header window (or the movie
// atom, see movie_reader.cpp), each going on from the previous match, and the few fields
// read at fixed offsets from each match.
//
// The atom tree is never parsed and atom sizes are never read here: a code is taken
// wherever its four bytes first occur after the previous match, inside another atom's
// data included. Field offsets below are counted from the match (the type code), which
// is 4 bytes after the atom's start.
#include "mov/header_walk.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/common.h"
#include "mov/messages.h"
#include "mov/mov.h"

namespace {

// Field offsets from the type code (offset from the atom's start less 4), version 0.
constexpr size_t kTkhdWidth = 80;   // 16.16; only its integer part is used
constexpr size_t kTkhdHeight = 84;  // 16.16; only its integer part is used
constexpr size_t kMdhdTimeScale = 16;
constexpr size_t kStsdEntries = 8;
constexpr size_t kStsdFirstFormat = 16;
constexpr size_t kSttsFirstDuration = 16;
constexpr size_t kTableEntries = 8;  // stsc, stco and co64
constexpr size_t kTable = 12;        // stsc, stco and co64

static_assert(sizeof(sample_to_chunk) == 12, "sample_to_chunk is three 32-bit words");

// Offset of the first match of tag's four bytes in the remaining bytes from position,
// or -1. One-byte steps, starting at position itself.
int scan(const unsigned char* position, const char* tag, int remaining) {
  for (int i = 0; remaining >= 4 && i <= remaining - 4; ++i) {
    if (std::memcmp(position + i, tag, 4) == 0) return i;
  }
  return -1;
}

// The one message for a field or table that does not lie wholly inside the window.
bool damaged(const char* tag) {
  mov_internal::say("The \"%s\" atom is truncated or damaged\n", tag);
  return false;
}

bool is_format(const unsigned char (&format)[4], const char* code) {
  return std::memcmp(format, code, 4) == 0;
}

}  // namespace

bool findtag(const unsigned char*& position, const char* tag, int& remaining) {
  const int found = scan(position, tag, remaining);
  if (found < 0) {
    mov_internal::say("Unable to find tag \"%s\"\n", tag);
    return false;
  }
  position += found;
  remaining -= found;
  return true;
}

unsigned long from_mov_edian_s(unsigned long value) { return (value >> 16) & 0xFFFF; }

void from_mov_edian_l_block(void* words, int count) {
  unsigned char* p = static_cast<unsigned char*>(words);
  for (int i = 0; i < count; ++i, p += 4) {
    const uint32_t native = load_be32(p);
    std::memcpy(p, &native, 4);
  }
}

namespace {

// The search cursor over the walked bytes, and checked reads at field offsets from its
// current match.
class Walk {
 public:
  Walk(const unsigned char* bytes, size_t len)
      : in_(bytes, len), position_(bytes), remaining_(static_cast<int>(len)) {}

  [[nodiscard]] bool find(const char* tag) { return findtag(position_, tag, remaining_); }
  // Offset of tag's first match from the cursor on, or -1; the cursor stays.
  int scan_ahead(const char* tag) const { return scan(position_, tag, remaining_); }
  // The same, for a match that starts within the next `limit` bytes.
  int scan_ahead(const char* tag, int limit) const {
    return scan(position_, tag, std::min(remaining_, limit + 3));
  }
  void advance(int by) {
    position_ += by;
    remaining_ -= by;
  }

  [[nodiscard]] bool be32(size_t field, uint32_t& out) const {
    return in_.be32(here() + field, out);
  }
  [[nodiscard]] bool be64(size_t field, uint64_t& out) const {
    return in_.be64(here() + field, out);
  }
  [[nodiscard]] bool fourcc(size_t field, unsigned char (&out)[4]) const {
    return in_.fourcc(here() + field, out);
  }
  bool has_table(size_t field, uint64_t count, size_t entry_size) const {
    return in_.has_table(here() + field, count, entry_size);
  }
  // The bytes at field; only after has_table or a read has checked them.
  const unsigned char* at(size_t field) const { return in_.data() + here() + field; }

 private:
  size_t here() const { return static_cast<size_t>(position_ - in_.data()); }

  const ByteReader in_;
  const unsigned char* position_;
  int remaining_;
};

// "mvhd" and "tkhd": the frame geometry. A width or height of 0 leaves nothing to convert.
bool read_geometry(Walk& walk, MovieHeader& header) {
  if (!walk.find("mvhd")) return false;
  mov_internal::say("Movie header found\n");
  if (!walk.find("tkhd")) return false;
  mov_internal::say("Track header found\n");
  uint32_t width = 0;
  uint32_t height = 0;
  if (!walk.be32(kTkhdWidth, width) || !walk.be32(kTkhdHeight, height)) return damaged("tkhd");
  header.width = static_cast<int>(from_mov_edian_s(width));
  header.height = static_cast<int>(from_mov_edian_s(height));
  mov_internal::say("Width = %d\n", header.width);
  mov_internal::say("Height = %d\n", header.height);
  if (header.width == 0 || header.height == 0) {
    mov_internal::say("The movie's frames are %d x %d pixels; there is nothing to convert.\n",
                      header.width, header.height);
    return false;
  }
  return true;
}

// "mdhd" and "stsd": the time scale and the sample format.
bool read_format(Walk& walk, MovieHeader& header) {
  if (!walk.find("mdhd")) return false;
  mov_internal::say("Media header found\n");
  uint32_t time_scale = 0;
  if (!walk.be32(kMdhdTimeScale, time_scale)) return damaged("mdhd");
  header.time_scale = static_cast<int32_t>(time_scale);

  if (!walk.find("stsd")) return false;
  uint32_t descriptions = 0;
  if (!walk.be32(kStsdEntries, descriptions)) return damaged("stsd");
  mov_internal::say("Sample description found, number of entries = %d\n",
                    static_cast<int32_t>(descriptions));
  unsigned char format[4];
  if (!walk.fourcc(kStsdFirstFormat, format)) return damaged("stsd");
  mov_internal::say("Data format = \"%c%c%c%c\"\n", format[0], format[1], format[2], format[3]);
  if (is_format(format, "raw ")) {
    header.raw = 1;
  } else if (is_format(format, "WRLE")) {
    header.raw = 0;
  } else {
    mov_internal::say(
        "Unsupported data format, please select \"BMP\" or \"none\" as the video "
        "compression when saving a .mov file\n");
    return false;
  }
  return true;
}

// "stts": only the first entry counts, one frame duration for the whole movie.
bool read_timing(Walk& walk, MovieHeader& header) {
  if (!walk.find("stts")) return false;
  mov_internal::say("Sample to time table found\n");
  uint32_t duration = 0;
  if (!walk.be32(kSttsFirstDuration, duration)) return damaged("stts");
  header.sample_duration = static_cast<int32_t>(duration);
  // A zero duration is not caught: the division gives inf (or nan) and that is printed.
  const double rate =
      static_cast<double>(header.time_scale) / static_cast<double>(header.sample_duration);
  mov_internal::say("Frame rate = %f\n", rate);
  return true;
}

// "stsc": the sample-to-chunk table, copied out in native order.
bool read_chunk_map(Walk& walk, MovieHeader& header) {
  if (!walk.find("stsc")) return false;
  mov_internal::say("Sample to chunk table found\n");
  uint32_t map_entries = 0;
  if (!walk.be32(kTableEntries, map_entries)) return damaged("stsc");
  mov_internal::say("Number of entries = %d\n", static_cast<int32_t>(map_entries));
  if (!walk.has_table(kTable, map_entries, sizeof(sample_to_chunk))) return damaged("stsc");
  // The table fits in the walked bytes, so its entry and word counts fit in int.
  header.chunk_map.resize(map_entries);
  if (map_entries > 0) {
    std::memcpy(header.chunk_map.data(), walk.at(kTable), map_entries * sizeof(sample_to_chunk));
    from_mov_edian_l_block(header.chunk_map.data(), static_cast<int>(map_entries * 3));
  }
  return true;
}

// "stco" or "co64": the chunk offsets. The table is copied out and the walked bytes stay
// as read, so this search sees the sample-to-chunk table's bytes as they are in the file.
//
// Large movies carry 64-bit chunk offsets in "co64" instead of "stco". Both are looked
// for from the cursor and the earlier match is the first track's table: taking "stco"
// wherever it is could pick up a later track's table.
bool read_chunk_offsets(Walk& walk, MovieHeader& header) {
  const int at_stco = walk.scan_ahead("stco");
  // Only a "co64" before "stco" counts, so the search for it ends there instead of
  // walking the rest of the bytes (9 MB for a movie of large frames).
  const int at_co64 = at_stco >= 0 ? walk.scan_ahead("co64", at_stco) : walk.scan_ahead("co64");
  if (at_stco < 0 && at_co64 < 0) {
    mov_internal::say("Unable to find tag \"stco\"\n");
    return false;
  }
  const bool wide = at_stco < 0 || (at_co64 >= 0 && at_co64 < at_stco);
  const char* table_tag = wide ? "co64" : "stco";
  walk.advance(wide ? at_co64 : at_stco);
  mov_internal::say("Sample offset table found\n");
  uint32_t chunks = 0;
  if (!walk.be32(kTableEntries, chunks)) return damaged(table_tag);
  mov_internal::say("Number of entries = %d\n", static_cast<int32_t>(chunks));
  const size_t entry_size = wide ? 8 : 4;
  if (!walk.has_table(kTable, chunks, entry_size)) return damaged(table_tag);
  header.chunk_offsets.resize(chunks);
  for (uint32_t i = 0; i < chunks; ++i) {
    const size_t field = kTable + i * entry_size;
    uint32_t offset32 = 0;
    const bool read = wide ? walk.be64(field, header.chunk_offsets[i]) : walk.be32(field, offset32);
    if (!read) return damaged(table_tag);
    if (!wide) header.chunk_offsets[i] = offset32;
  }
  return true;
}

}  // namespace

namespace mov_internal {

bool walk_header(const unsigned char* bytes, size_t len, MovieHeader& header) {
  assert(len <= static_cast<size_t>(std::numeric_limits<int>::max()));
  Walk walk(bytes, len);
  return read_geometry(walk, header) && read_format(walk, header) && read_timing(walk, header) &&
         read_chunk_map(walk, header) && read_chunk_offsets(walk, header);
}

}  // namespace mov_internal

bool read_movie_header(const unsigned char* window, size_t window_len, MovieHeader& header) {
  // Never look past the header window, whatever the caller hands in.
  return mov_internal::walk_header(window, std::min(window_len, kHeaderWindowBytes), header);
}
