// The whole reading of a movie: the top-level walk that finds the movie atom, the choice
// of the bytes the header walk runs over, the walk and the frame index.
//
// Tools write the movie atom ("moov") after the media data unless asked otherwise, so in
// a long movie it lies beyond the head of the file. The top-level atoms are walked only
// to find it; what lies inside them is never looked at, so a "moov" code in the media
// data changes nothing. Whenever the movie atom is not found beyond the head, the header
// walk runs over the head exactly as it always has.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "mov/byte_reader.h"
#include "mov/header_walk.h"
#include "mov/messages.h"
#include "mov/mov.h"

using mov_internal::ByteReader;

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

// A file of many tiny atoms must not make the walk read for ever; real movies have a
// handful of top-level atoms. A walk that meets the cap has not found the movie atom.
constexpr int kMaxTopLevelAtoms = 1 << 16;

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
  const uint32_t size32 = ByteReader::load_be32(head);
  std::copy(head + 4, head + 8, atom.type);
  atom.start = start;
  uint64_t header_size = 8;
  if (size32 == 1) {
    header_size = 16;
    if (left < 16 || !read_at(start + 8, head + 8, 8)) return true;  // not whole
    atom.size = uint64_t{ByteReader::load_be32(head + 8)} << 32 | ByteReader::load_be32(head + 12);
  } else {
    atom.size = size32 == 0 ? left : size32;
  }
  atom.whole = atom.size >= header_size && atom.size <= left;
  return true;
}

// Walks the top-level atoms from the file's start to the first "moov". True with it in
// movie (whole or not); false when there is none or an atom before it is damaged.
bool find_movie_atom(uint64_t file_size, const ReadAt& read_at, TopAtom& movie) {
  uint64_t start = 0;
  for (int i = 0; i < kMaxTopLevelAtoms && start < file_size; ++i) {
    TopAtom atom;
    if (!read_top_atom(file_size, read_at, start, atom)) return false;
    if (atom.is_movie()) {
      movie = atom;
      return true;
    }
    if (!atom.whole) return false;
    start = atom.end();  // at least 8 bytes on, and never past the file's end
  }
  return false;
}

// True when the head holds the movie atom, so the walk runs over the head as it always
// has. A damaged movie atom that starts inside the head counts as held.
bool held_by_head(const TopAtom& movie) {
  if (!movie.whole) return movie.start < kHeaderWindowBytes;
  return movie.size <= kHeaderWindowBytes && movie.start <= kHeaderWindowBytes - movie.size;
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

// The bytes the header walk runs over: the movie atom when it lies beyond the head,
// else the head.
bool read_walked_bytes(uint64_t file_size, const ReadAt& read_at, WalkedBytes& bytes) {
  TopAtom movie;
  if (!find_movie_atom(file_size, read_at, movie) || held_by_head(movie)) {
    read_head(file_size, read_at, bytes);
    return true;
  }
  return read_movie_atom(read_at, movie, bytes);
}

}  // namespace

bool read_movie(uint64_t file_size, const ReadAt& read_at, MovieHeader& header) {
  frame_offsets.clear();
  total_frames = 0;
  {
    WalkedBytes bytes;
    if (!read_walked_bytes(file_size, read_at, bytes)) return false;
    if (!mov_internal::walk_header(bytes.data.get(), bytes.size, header)) return false;
  }  // the walked bytes are released here; the tables live on in header

  const uint64_t frame_size = uint64_t(header.width) * uint64_t(header.height) * 3;
  const int entries = static_cast<int>(header.chunk_map.size());
  const int chunks = static_cast<int>(header.chunk_offsets.size());
  if (!calc_frame_offsets(header.chunk_map.data(), entries, header.chunk_offsets.data(), chunks,
                          frame_size, file_size)) {
    return false;
  }
  mov_internal::say("%d frames indexed\n", total_frames);
  return true;
}
