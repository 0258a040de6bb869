// The header walk: seven searches for type codes over the header window, each going on
// from the previous match, and the few fields read at fixed offsets from each match.
//
// The atom tree is never parsed and atom sizes are never read: a code is taken wherever
// its four bytes first occur after the previous match, inside another atom's data
// included. Field offsets below are counted from the match (the type code), which is 4
// bytes after the atom's start.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "mov/byte_reader.h"
#include "mov/mov.h"

using mov_internal::ByteReader;

namespace {

// Field offsets from the type code (offset from the atom's start less 4), version 0.
constexpr size_t kTkhdWidth = 80;       // 16.16; only its integer part is used
constexpr size_t kTkhdHeight = 84;      // 16.16; only its integer part is used
constexpr size_t kMdhdTimeScale = 16;
constexpr size_t kStsdEntries = 8;
constexpr size_t kStsdFirstFormat = 16;
constexpr size_t kSttsFirstDuration = 16;
constexpr size_t kTableEntries = 8;     // stsc, stco and co64
constexpr size_t kTable = 12;           // stsc, stco and co64

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
  std::printf("The \"%s\" atom is truncated or damaged\n", tag);
  return false;
}

bool is_format(const unsigned char (&format)[4], const char* code) {
  return std::memcmp(format, code, 4) == 0;
}

}  // namespace

bool findtag(const unsigned char*& position, const char* tag, int& remaining) {
  const int found = scan(position, tag, remaining);
  if (found < 0) {
    std::printf("Unable to find tag \"%s\"\n", tag);
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
    const uint32_t native = ByteReader::load_be32(p);
    std::memcpy(p, &native, 4);
  }
}

bool read_movie_header(const unsigned char* window, size_t window_len, MovieHeader& header) {
  // Never look past the header window, whatever the caller hands in.
  const ByteReader in(window, std::min(window_len, kHeaderWindowBytes));
  const unsigned char* position = window;
  int remaining = static_cast<int>(in.size());
  auto here = [&] { return static_cast<size_t>(position - window); };

  if (!findtag(position, "mvhd", remaining)) return false;
  std::printf("Movie header found\n");

  if (!findtag(position, "tkhd", remaining)) return false;
  std::printf("Track header found\n");
  uint32_t width = 0;
  uint32_t height = 0;
  if (!in.be32(here() + kTkhdWidth, width) || !in.be32(here() + kTkhdHeight, height))
    return damaged("tkhd");
  header.width = static_cast<int>(from_mov_edian_s(width));
  header.height = static_cast<int>(from_mov_edian_s(height));
  std::printf("Width = %d\n", header.width);
  std::printf("Height = %d\n", header.height);

  if (!findtag(position, "mdhd", remaining)) return false;
  std::printf("Media header found\n");
  uint32_t time_scale = 0;
  if (!in.be32(here() + kMdhdTimeScale, time_scale)) return damaged("mdhd");
  header.time_scale = static_cast<int32_t>(time_scale);

  if (!findtag(position, "stsd", remaining)) return false;
  uint32_t descriptions = 0;
  if (!in.be32(here() + kStsdEntries, descriptions)) return damaged("stsd");
  std::printf("Sample description found, number of entries = %d\n",
              static_cast<int32_t>(descriptions));
  unsigned char format[4];
  if (!in.fourcc(here() + kStsdFirstFormat, format)) return damaged("stsd");
  std::printf("Data format = \"%c%c%c%c\"\n", format[0], format[1], format[2], format[3]);
  if (is_format(format, "raw ")) {
    header.raw = 1;
  } else if (is_format(format, "WRLE")) {
    header.raw = 0;
  } else {
    std::printf("Unsupported data format, please select \"BMP\" or \"none\" as the video "
                "compression when saving a .mov file\n");
    return false;
  }

  // Only the first time-to-sample entry counts: one frame duration for the whole movie.
  if (!findtag(position, "stts", remaining)) return false;
  std::printf("Sample to time table found\n");
  uint32_t duration = 0;
  if (!in.be32(here() + kSttsFirstDuration, duration)) return damaged("stts");
  header.sample_duration = static_cast<int32_t>(duration);
  // A zero duration is not caught: the division gives inf (or nan) and that is printed.
  const double rate = static_cast<double>(header.time_scale) /
                      static_cast<double>(header.sample_duration);
  std::printf("Frame rate = %f\n", rate);

  if (!findtag(position, "stsc", remaining)) return false;
  std::printf("Sample to chunk table found\n");
  uint32_t map_entries = 0;
  if (!in.be32(here() + kTableEntries, map_entries)) return damaged("stsc");
  std::printf("Number of entries = %d\n", static_cast<int32_t>(map_entries));
  if (!in.has_table(here() + kTable, map_entries, sizeof(sample_to_chunk)))
    return damaged("stsc");
  // The table fits in the window, so its entry and word counts fit in int.
  header.chunk_map.resize(map_entries);
  if (map_entries > 0) {
    std::memcpy(header.chunk_map.data(), in.data() + here() + kTable,
                map_entries * sizeof(sample_to_chunk));
    from_mov_edian_l_block(header.chunk_map.data(), static_cast<int>(map_entries * 3));
  }

  // The table is copied out and the window stays as read, so the search below sees the
  // sample-to-chunk table's bytes as they are in the file.
  //
  // Large movies carry 64-bit chunk offsets in "co64" instead of "stco". Both are looked
  // for from the cursor and the earlier match is the first track's table: taking "stco"
  // wherever it is could pick up a later track's table.
  const int at_stco = scan(position, "stco", remaining);
  // Only a "co64" before "stco" counts, so the search for it ends there instead of
  // walking the rest of the head (9 MB for a movie of large frames).
  const int co64_window = at_stco >= 0 ? std::min(remaining, at_stco + 3) : remaining;
  const int at_co64 = scan(position, "co64", co64_window);
  if (at_stco < 0 && at_co64 < 0) {
    std::printf("Unable to find tag \"stco\"\n");
    return false;
  }
  const bool wide = at_stco < 0 || (at_co64 >= 0 && at_co64 < at_stco);
  const int found = wide ? at_co64 : at_stco;
  const char* table_tag = wide ? "co64" : "stco";
  position += found;
  remaining -= found;
  std::printf("Sample offset table found\n");
  uint32_t chunks = 0;
  if (!in.be32(here() + kTableEntries, chunks)) return damaged(table_tag);
  std::printf("Number of entries = %d\n", static_cast<int32_t>(chunks));
  const size_t entry_size = wide ? 8 : 4;
  if (!in.has_table(here() + kTable, chunks, entry_size)) return damaged(table_tag);
  header.chunk_offsets.resize(chunks);
  for (uint32_t i = 0; i < chunks; ++i) {
    const size_t off = here() + kTable + i * entry_size;
    if (wide) {
      if (!in.be64(off, header.chunk_offsets[i])) return damaged(table_tag);
    } else {
      uint32_t offset32 = 0;
      if (!in.be32(off, offset32)) return damaged(table_tag);
      header.chunk_offsets[i] = offset32;
    }
  }
  return true;
}
