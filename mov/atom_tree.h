// mov/atom_tree.h: the children of an atom, walked by their sizes. Private to mov/.
//
// An atom is a 32-bit big-endian size and a type; a size of 1 means a 64-bit size
// follows the type, a size of 0 that the atom runs to the end of its parent. A child
// whose size is shorter than its header or runs past its parent ends the walk as
// damaged. Positions are offsets into the reader's buffer.
#ifndef MOV_ATOM_TREE_H_
#define MOV_ATOM_TREE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/common.h"
#include "mov/mov.h"

namespace mov_internal {

struct AtomSpan {
  size_t start = 0;  // its size field
  size_t body = 0;   // the first byte after its header
  size_t end = 0;    // the first byte after the atom
  unsigned char type[4] = {};

  bool is(const char* code) const { return std::memcmp(type, code, 4) == 0; }
};

// The children of the bytes [begin, end) of a reader, one at a time.
class ChildAtoms {
 public:
  ChildAtoms(const ByteReader& in, size_t begin, size_t end) : in_(in), pos_(begin), end_(end) {}

  // The next child; false at the end or when the child is damaged (then damaged()).
  [[nodiscard]] bool next(AtomSpan& atom);
  bool damaged() const { return damaged_; }
  // The type of the damaged child, or of the parent when not even a header is there.
  const unsigned char* damaged_type() const { return damaged_type_; }

 private:
  const ByteReader& in_;
  size_t pos_;
  size_t end_;
  bool damaged_ = false;
  unsigned char damaged_type_[4] = {'?', '?', '?', '?'};
};

// The movie atom's bytes parsed: its tracks in order, and whether "mvhd" is there.
struct MovieAtom {
  bool has_mvhd = false;
  bool fragmented = false;  // it holds "mvex": movie fragments follow
  std::vector<MovieTrack> tracks;
};

// Parses the movie atom at [0, len) of bytes, header included. False with the message
// printed when an atom inside is damaged or a table does not fit its atom.
[[nodiscard]] bool parse_movie_atom(const unsigned char* bytes, size_t len, MovieAtom& movie);

// A top-level "moof" atom of the file.
struct FragmentSpan {
  uint64_t start = 0;
  uint64_t size = 0;
};

// Reads the movie fragments in file order and appends the runs of samples of every
// track they name (by track_ID) to its chunks. Stops at the first damaged fragment:
// false, with the fragment's start in damaged_at; what came before stays.
[[nodiscard]] bool read_fragments(uint64_t file_size, const ReadAt& read_at,
                                  const std::vector<FragmentSpan>& fragments,
                                  std::vector<MovieTrack>& tracks, uint64_t& damaged_at);

}  // namespace mov_internal

#endif  // MOV_ATOM_TREE_H_
