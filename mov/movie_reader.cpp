// The whole reading of a movie: the walk of the top-level atoms, the movie atom parsed
// as a tree with the movie fragments that follow it, the video track's lines and frame
// index; or, for files whose top-level atoms give no whole movie atom, the header walk
// over the head as it has always run.
//
// Tools write the movie atom ("moov") after the media data unless asked otherwise, and
// some keep an early one inside a "free" atom. Only a top-level "moov" is read: what lies
// inside other top-level atoms is never looked at.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/common.h"
#include "mov/atom_tree.h"
#include "mov/header_walk.h"
#include "mov/messages.h"
#include "mov/mov.h"

namespace {

// The bytes the header walk runs over. Not zero-filled: the read overwrites every byte,
// so a head of 9 MB is not written twice.
struct WalkedBytes {
  std::unique_ptr<unsigned char[]> data;
  size_t size = 0;

  void allocate(uint64_t n) {
    size = static_cast<size_t>(n);
    data.reset(new unsigned char[size]);
  }
};

// A file of many tiny atoms must not make the walk read for ever: real movies have a
// handful of top-level atoms, fragmented ones two per fragment ("moof", "mdat"), so a
// day of one-second fragments fits. The cap counts as a damaged atom where it is met.
constexpr int kMaxTopLevelAtoms = 1 << 20;
// The depth field of a video sample description, from the entry's size field.
constexpr size_t kDescriptionDepth = 82;

// One top-level atom as its header describes it: its start, its type and its length,
// header included.
struct TopAtom {
  uint64_t start = 0;
  uint64_t size = 0;
  unsigned char type[4] = {};
  bool whole = false;  // its size is valid and the atom lies inside the file

  bool is_movie() const { return std::memcmp(type, "moov", 4) == 0; }
  // The first byte after the atom; only for a whole atom.
  uint64_t end() const { return start + size; }
};

// Reads the header of the atom at start: a 32-bit size (1: a 64-bit size follows; 0: the
// atom runs to the end of the file) and the type. False when no header can be read there
// (fewer than 8 bytes left, or a failed read). start must lie inside the file.
bool read_top_atom(uint64_t file_size, const ReadAt& read_at, uint64_t start, TopAtom& atom) {
  const uint64_t left = file_size - start;
  unsigned char head[16] = {};
  if (left < 8 || !read_at(start, head, 8)) return false;
  const uint32_t size32 = load_be32(head);
  std::copy(head + 4, head + 8, atom.type);
  atom.start = start;
  uint64_t header_size = 8;
  if (size32 == 1) {
    header_size = 16;
    if (left < 16 || !read_at(start + 8, head + 8, 8)) return true;  // not whole
    atom.size = uint64_t{load_be32(head + 8)} << 32 | load_be32(head + 12);
  } else {
    atom.size = size32 == 0 ? left : size32;
  }
  atom.whole = atom.size >= header_size && atom.size <= left;
  return true;
}

// What the walk of the top-level atoms found: the first "moov" (whole or not), the
// "moof" atoms after it, and where the walk stopped at a damaged atom.
struct TopLevel {
  bool has_movie = false;
  TopAtom movie;
  std::vector<mov_internal::FragmentSpan> fragments;
  bool damaged = false;  // an atom was damaged, or the cap was met, before the file's end
  uint64_t damaged_at = 0;
};

void walk_top_level(uint64_t file_size, const ReadAt& read_at, TopLevel& top) {
  uint64_t start = 0;
  for (int i = 0; start < file_size; ++i) {
    TopAtom atom;
    if (i == kMaxTopLevelAtoms || !read_top_atom(file_size, read_at, start, atom) ||
        (!atom.whole && !(atom.is_movie() && !top.has_movie))) {
      top.damaged = true;
      top.damaged_at = start;
      return;
    }
    if (atom.is_movie() && !top.has_movie) {
      top.has_movie = true;
      top.movie = atom;
      if (!atom.whole) return;
    } else if (top.has_movie && std::memcmp(atom.type, "moof", 4) == 0) {
      top.fragments.push_back({atom.start, atom.size});
    }
    start = atom.end();  // at least 8 bytes on, and never past the file's end
  }
}

// The head of the movie: its first kHeaderWindowBytes, or the whole of a shorter movie.
// A read that fails leaves it empty, and in that no tag is found.
void read_head(uint64_t file_size, const ReadAt& read_at, WalkedBytes& bytes) {
  bytes.allocate(std::min<uint64_t>(file_size, kHeaderWindowBytes));
  if (!read_at(0, bytes.data.get(), bytes.size)) bytes.size = 0;
}

// The whole movie atom, when it is whole and not too large to hold.
bool read_movie_atom(const ReadAt& read_at, const TopAtom& movie, WalkedBytes& bytes) {
  if (!movie.whole) {
    mov_internal::say("The \"moov\" atom is truncated or damaged\n");
    return false;
  }
  if (movie.size > kMaxMovieAtomBytes) {
    mov_internal::say("The \"moov\" atom is %" PRIu64 " bytes long, more than the %" PRIu64
                      " bytes (64 MiB) that are read\n",
                      movie.size, kMaxMovieAtomBytes);
    return false;
  }
  bytes.allocate(movie.size);
  if (!read_at(movie.start, bytes.data.get(), bytes.size)) {
    mov_internal::say("Unable to read the \"moov\" atom from the input file\n");
    return false;
  }
  return true;
}

bool missing(const char* tag) {
  mov_internal::say("Unable to find tag \"%s\"\n", tag);
  return false;
}

// The first track whose media handler is "vide", or -1.
int find_video_track(const std::vector<MovieTrack>& tracks) {
  for (size_t i = 0; i < tracks.size(); ++i)
    if (tracks[i].is("vide")) return static_cast<int>(i);
  return -1;
}

// The video track's header lines, geometry, time scale and sample format.
bool report_track_format(const MovieTrack& t, MovieHeader& header) {
  if (!t.has_tkhd) return missing("tkhd");
  mov_internal::say("Track header found\n");
  header.width = static_cast<int>(from_mov_edian_s(t.width));
  header.height = static_cast<int>(from_mov_edian_s(t.height));
  mov_internal::say("Width = %d\nHeight = %d\n", header.width, header.height);
  if (header.width == 0 || header.height == 0) {
    mov_internal::say("The movie's frames are %d x %d pixels; there is nothing to convert.\n",
                      header.width, header.height);
    return false;
  }
  if (!t.has_mdhd) return missing("mdhd");
  mov_internal::say("Media header found\n");
  header.time_scale = t.time_scale;
  if (!t.has_stsd) return missing("stsd");
  mov_internal::say("Sample description found, number of entries = %d\n",
                    static_cast<int32_t>(t.description_count));
  const unsigned char* f = t.description.data() + 4;
  mov_internal::say("Data format = \"%c%c%c%c\"\n", f[0], f[1], f[2], f[3]);
  header.raw = std::memcmp(f, "raw ", 4) == 0;
  if (!header.raw && std::memcmp(f, "WRLE", 4) != 0) {
    mov_internal::say(
        "Unsupported data format, please select \"BMP\" or \"none\" as the video "
        "compression when saving a .mov file\n");
    return false;
  }
  uint16_t depth = 0;
  if (!ByteReader(t.description.data(), t.description.size()).be16(kDescriptionDepth, depth)) {
    mov_internal::say("The \"stsd\" atom is truncated or damaged\n");
    return false;
  }
  if (depth != 24) {
    mov_internal::say(
        "The video frames are %d-bit \"%c%c%c%c\" pixels; only 24-bit pixels can be "
        "converted.\n",
        depth, f[0], f[1], f[2], f[3]);
    return false;
  }
  return true;
}

// The video track's timing and table lines.
bool report_track_tables(const MovieTrack& t, MovieHeader& header) {
  if (!t.has_stts) return missing("stts");
  mov_internal::say("Sample to time table found\n");
  // A fragmented movie's own table is empty: its first fragment gives the duration.
  header.sample_duration = static_cast<int32_t>(
      t.time_to_sample.empty() ? t.first_fragment_duration : t.time_to_sample[0].duration);
  const double rate =
      static_cast<double>(header.time_scale) / static_cast<double>(header.sample_duration);
  mov_internal::say("Frame rate = %f\n", rate);
  if (!t.has_stsc) return missing("stsc");
  mov_internal::say("Sample to chunk table found\nNumber of entries = %d\n",
                    static_cast<int32_t>(t.chunk_map.size()));
  if (!t.has_chunk_offsets) return missing("stco");
  mov_internal::say("Sample offset table found\nNumber of entries = %d\n",
                    static_cast<int32_t>(t.chunk_offsets.size()));
  header.chunk_map = t.chunk_map;
  header.chunk_offsets = t.chunk_offsets;
  return true;
}

// The one size of the track's samples: false (message printed) when they differ. A
// movie without a sample-size table, or without samples, has frames of packed rows.
bool one_sample_size(const MovieTrack& t, uint64_t packed, uint64_t& size) {
  size = packed;
  if (t.stsz_damaged) {
    mov_internal::say("The \"stsz\" atom is truncated or damaged\n");
    return false;
  }
  if (!t.has_stsz && t.fragment_samples == 0) return true;
  bool seen = false;
  const uint64_t listed = t.sample_sizes.size();
  for (const MediaChunk& c : t.chunks) {
    // A listed chunk is walked only one sample past the end of the table: that sample
    // reads as 0 and differs.
    uint64_t n = std::min<uint64_t>(c.samples, 1);
    if (c.listed)
      n = std::min<uint64_t>(c.samples, (c.sizes_at < listed ? listed - c.sizes_at : 0) + 1);
    for (uint64_t j = 0; j < n; ++j) {
      const uint32_t s = t.size_in(c, static_cast<uint32_t>(j));
      if (!seen) size = s, seen = true;
      if (s != size) {
        mov_internal::say("The video frames differ in size (%" PRIu64
                          " and %u bytes); every frame must "
                          "be the same size.\n",
                          size, s);
        return false;
      }
    }
  }
  return true;
}

// The frame size and row stride: packed rows, or rows padded to a longer stride.
bool frame_layout(const MovieTrack& t, MovieHeader& header) {
  const uint64_t row = uint64_t(header.width) * 3;
  const uint64_t rows = uint64_t(header.height);
  if (!one_sample_size(t, row * rows, header.frame_bytes)) return false;
  header.row_stride = header.frame_bytes / rows;
  if (header.frame_bytes % rows == 0 && header.row_stride >= row) return true;
  mov_internal::say("The video frames are %" PRIu64
                    " bytes, which is not %d rows of at least %" PRIu64
                    " bytes (%d x %d pixels of 3 bytes); the movie cannot be converted.\n",
                    header.frame_bytes, header.height, row, header.width, header.height);
  return false;
}

// The frames of the video track's fragment runs, after those of its own tables.
bool index_fragment_frames(const MovieTrack& t, const MovieHeader& header, uint64_t file_size) {
  const size_t own = t.chunk_map.empty() ? 0 : t.chunk_offsets.size();
  std::vector<sample_to_chunk> map;
  std::vector<uint64_t> offsets;
  for (size_t i = own; i < t.chunks.size(); ++i) {
    map.push_back({static_cast<uint32_t>(map.size() + 1), t.chunks[i].samples, 1});
    offsets.push_back(t.chunks[i].offset);
  }
  if (map.empty()) return true;
  return calc_frame_offsets(map.data(), static_cast<int>(map.size()), offsets.data(),
                            static_cast<int>(offsets.size()), header.frame_bytes, file_size);
}

// The reading through the movie atom: its tracks, the fragments, the video track's lines
// and frame index.
bool read_through_movie_atom(uint64_t file_size, const ReadAt& read_at, const TopLevel& top,
                             MovieHeader& header) {
  mov_internal::MovieAtom movie;
  {
    WalkedBytes bytes;
    if (!read_movie_atom(read_at, top.movie, bytes)) return false;
    if (!mov_internal::parse_movie_atom(bytes.data.get(), bytes.size, movie)) return false;
  }
  uint64_t damaged_at = top.damaged_at;
  header.fragments_damaged =
      !mov_internal::read_fragments(file_size, read_at, top.fragments, movie.tracks, damaged_at) ||
      (movie.fragmented && top.damaged);
  if (!movie.has_mvhd) return missing("mvhd");
  mov_internal::say("Movie header found\n");
  header.video_track = find_video_track(movie.tracks);
  if (header.video_track < 0) {
    mov_internal::say("The movie has no video track; there is nothing to convert.\n");
    return false;
  }
  const MovieTrack& t = movie.tracks[static_cast<size_t>(header.video_track)];
  if (!report_track_format(t, header) || !report_track_tables(t, header) ||
      !frame_layout(t, header)) {
    return false;
  }
  if (!calc_frame_offsets(header.chunk_map.data(), static_cast<int>(header.chunk_map.size()),
                          header.chunk_offsets.data(),
                          static_cast<int>(header.chunk_offsets.size()), header.frame_bytes,
                          file_size) ||
      !index_fragment_frames(t, header, file_size)) {
    return false;
  }
  mov_internal::say("%d frames indexed\n", total_frames);
  if (header.fragments_damaged) {
    mov_internal::say("The movie fragment at byte %" PRIu64
                      " is truncated or damaged; only the frames "
                      "before it are converted.\n",
                      damaged_at);
  }
  header.tracks = std::move(movie.tracks);
  return true;
}

// The header walk over the head, as runs have always done: for files whose top-level
// atoms give no whole movie atom.
bool read_through_head(uint64_t file_size, const ReadAt& read_at, MovieHeader& header) {
  {
    WalkedBytes bytes;
    read_head(file_size, read_at, bytes);
    if (!mov_internal::walk_header(bytes.data.get(), bytes.size, header)) return false;
  }  // the walked bytes are released here; the tables live on in header
  header.row_stride = uint64_t(header.width) * 3;
  header.frame_bytes = header.row_stride * uint64_t(header.height);
  const int entries = static_cast<int>(header.chunk_map.size());
  const int chunks = static_cast<int>(header.chunk_offsets.size());
  if (!calc_frame_offsets(header.chunk_map.data(), entries, header.chunk_offsets.data(), chunks,
                          header.frame_bytes, file_size)) {
    return false;
  }
  mov_internal::say("%d frames indexed\n", total_frames);
  return true;
}

}  // namespace

bool read_movie(uint64_t file_size, const ReadAt& read_at, MovieHeader& header) {
  frame_offsets.clear();
  total_frames = 0;
  TopLevel top;
  walk_top_level(file_size, read_at, top);
  // A damaged movie atom inside the head is left to the head walk, as before.
  const bool head = !top.has_movie || (!top.movie.whole && top.movie.start < kHeaderWindowBytes);
  if (head) return read_through_head(file_size, read_at, header);
  return read_through_movie_atom(file_size, read_at, top, header);
}
