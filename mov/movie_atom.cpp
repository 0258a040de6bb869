// The movie atom parsed as a tree: every track with its header, media header, handler
// and sample tables, and the fragment defaults of "mvex". Nothing is printed here but the
// message for a damaged atom; which track is converted is chosen by the caller.
#include <algorithm>
#include <cstring>

#include "common/common.h"
#include "mov/atom_tree.h"
#include "mov/messages.h"
#include "mov/mov.h"

using mov_internal::AtomSpan;
using mov_internal::ChildAtoms;

namespace mov_internal {

bool ChildAtoms::next(AtomSpan& atom) {
  if (damaged_ || pos_ >= end_) return false;
  const size_t left = end_ - pos_;
  uint32_t size32 = 0;
  if (left < 8 || !in_.be32(pos_, size32)) {
    damaged_ = true;
    return false;
  }
  std::memcpy(atom.type, in_.data() + pos_ + 4, 4);
  std::memcpy(damaged_type_, atom.type, 4);
  uint64_t size = size32;
  size_t header = 8;
  if (size32 == 1) {
    header = 16;
    if (left < 16 || !in_.be64(pos_ + 8, size)) {
      damaged_ = true;
      return false;
    }
  } else if (size32 == 0) {
    size = left;
  }
  if (size < header || size > left) {
    damaged_ = true;
    return false;
  }
  atom.start = pos_;
  atom.body = pos_ + header;
  atom.end = pos_ + static_cast<size_t>(size);
  pos_ = atom.end;
  return true;
}

}  // namespace mov_internal

namespace {

bool damaged(const char* tag) {
  mov_internal::say("The \"%s\" atom is truncated or damaged\n", tag);
  return false;
}

bool damaged_child(const ChildAtoms& children) {
  char tag[5] = {};
  std::memcpy(tag, children.damaged_type(), 4);
  return damaged(tag);
}

// A reader over one atom's bytes [start, end), so that no field is read past its atom.
ByteReader atom_reader(const ByteReader& in, const AtomSpan& atom) {
  return ByteReader(in.data() + atom.start, atom.end - atom.start);
}

// Offsets below are from the atom's start (its size field).
// Version 1 of "tkhd" and "mdhd" has 64-bit times (and a 64-bit track duration).
bool version1(const ByteReader& a) { return a.has(8, 1) && a.data()[8] == 1; }

bool read_tkhd(const ByteReader& a, MovieTrack& t) {
  const bool wide = version1(a);
  if (!a.be32(wide ? 28 : 20, t.track_id) || !a.be32(wide ? 96 : 84, t.width) ||
      !a.be32(wide ? 100 : 88, t.height)) {
    return damaged("tkhd");
  }
  t.has_tkhd = true;
  return true;
}

bool read_mdhd(const ByteReader& a, MovieTrack& t) {
  uint32_t scale = 0;
  const size_t at = version1(a) ? 28 : 20;
  if (!a.be32(at, scale)) return damaged("mdhd");
  t.time_scale = static_cast<int32_t>(scale);
  t.has_mdhd = true;
  return true;
}

bool read_hdlr(const ByteReader& a, MovieTrack& t) {
  if (!a.fourcc(16, t.handler)) return damaged("hdlr");
  t.has_hdlr = true;
  return true;
}

bool read_stsd(const ByteReader& a, MovieTrack& t) {
  uint32_t first_size = 0;
  if (!a.be32(12, t.description_count) || !a.be32(16, first_size) || first_size < 8 ||
      !a.has(16, first_size)) {
    return damaged("stsd");
  }
  t.description.assign(a.data() + 16, a.data() + 16 + first_size);
  t.has_stsd = true;
  return true;
}

// The entries of a table of words at 16, count at 12, each entry `words` words.
bool read_words(const ByteReader& a, const char* tag, size_t words, std::vector<uint32_t>& out) {
  uint32_t count = 0;
  if (!a.be32(12, count) || !a.has_table(16, count, words * 4)) return damaged(tag);
  out.resize(size_t{count} * words);
  for (size_t i = 0; i < out.size(); ++i) out[i] = load_be32(a.data() + 16 + 4 * i);
  return true;
}

bool read_stsz(const ByteReader& a, MovieTrack& t) {
  if (!a.be32(12, t.sample_size) || !a.be32(16, t.sample_count)) return damaged("stsz");
  if (t.sample_size == 0) {
    // Reported only for the track converted, after its header lines.
    if (!a.has_table(20, t.sample_count, 4)) return t.stsz_damaged = true;
    t.sample_sizes.resize(t.sample_count);
    for (size_t i = 0; i < t.sample_sizes.size(); ++i)
      t.sample_sizes[i] = load_be32(a.data() + 20 + 4 * i);
  }
  t.has_stsz = true;
  return true;
}

bool read_chunk_offsets(const ByteReader& a, bool wide, MovieTrack& t) {
  const char* tag = wide ? "co64" : "stco";
  uint32_t count = 0;
  if (!a.be32(12, count) || !a.has_table(16, count, wide ? 8 : 4)) return damaged(tag);
  t.chunk_offsets.resize(count);
  for (size_t i = 0; i < count; ++i) {
    uint64_t offset = 0;
    uint32_t offset32 = 0;
    const bool read = wide ? a.be64(16 + 8 * i, offset) : a.be32(16 + 4 * i, offset32);
    if (!read) return damaged(tag);
    t.chunk_offsets[i] = wide ? offset : offset32;
  }
  t.has_chunk_offsets = true;
  t.wide_offsets = wide;
  return true;
}

// One atom of "stbl". Only the first of each table counts.
bool read_sample_table(const ByteReader& in, const AtomSpan& e, MovieTrack& t) {
  const ByteReader a = atom_reader(in, e);
  std::vector<uint32_t> words;
  if (e.is("stsd") && !t.has_stsd) return read_stsd(a, t);
  if (e.is("stsz") && !t.has_stsz) return read_stsz(a, t);
  if ((e.is("stco") || e.is("co64")) && !t.has_chunk_offsets)
    return read_chunk_offsets(a, e.is("co64"), t);
  if (e.is("stts") && !t.has_stts) {
    if (!read_words(a, "stts", 2, words)) return false;
    for (size_t i = 0; i + 1 < words.size(); i += 2)
      t.time_to_sample.push_back({words[i], words[i + 1]});
    t.has_stts = true;
  } else if (e.is("stsc") && !t.has_stsc) {
    if (!read_words(a, "stsc", 3, words)) return false;
    for (size_t i = 0; i + 2 < words.size(); i += 3)
      t.chunk_map.push_back({words[i], words[i + 1], words[i + 2]});
    t.has_stsc = true;
  }
  return true;
}

// Walks the children of `parent` and hands each to visit(child); false when a child is
// damaged or visit fails.
template <typename Visit>
bool for_each_child(const ByteReader& in, const AtomSpan& parent, size_t skip, Visit visit) {
  ChildAtoms children(in, parent.body + skip, parent.end);
  AtomSpan child;
  while (children.next(child)) {
    if (!visit(child)) return false;
  }
  return !children.damaged() || damaged_child(children);
}

bool read_media(const ByteReader& in, const AtomSpan& mdia, MovieTrack& t) {
  return for_each_child(in, mdia, 0, [&](const AtomSpan& c) {
    if (c.is("mdhd") && !t.has_mdhd) return read_mdhd(atom_reader(in, c), t);
    if (c.is("hdlr") && !t.has_hdlr) return read_hdlr(atom_reader(in, c), t);
    if (!c.is("minf")) return true;
    return for_each_child(in, c, 0, [&](const AtomSpan& s) {
      if (!s.is("stbl")) return true;
      return for_each_child(in, s, 0,
                            [&](const AtomSpan& e) { return read_sample_table(in, e, t); });
    });
  });
}

bool read_track(const ByteReader& in, const AtomSpan& trak, MovieTrack& t) {
  return for_each_child(in, trak, 0, [&](const AtomSpan& c) {
    if (c.is("tkhd") && !t.has_tkhd) return read_tkhd(atom_reader(in, c), t);
    if (c.is("mdia")) return read_media(in, c, t);
    return true;
  });
}

// "trex": a track's defaults for its fragments.
bool read_trex(const ByteReader& a, mov_internal::MovieAtom& movie) {
  uint32_t id = 0;
  TrackDefaults d;
  if (!a.be32(12, id) || !a.be32(16, d.description_index) || !a.be32(20, d.duration) ||
      !a.be32(24, d.size) || !a.be32(28, d.flags)) {
    return damaged("trex");
  }
  for (MovieTrack& t : movie.tracks) {
    if (t.track_id != id || t.has_defaults) continue;
    t.defaults = d;
    t.has_defaults = true;
  }
  return true;
}

}  // namespace

namespace mov_internal {

bool parse_movie_atom(const unsigned char* bytes, size_t len, MovieAtom& movie) {
  const ByteReader in(bytes, len);
  ChildAtoms top(in, 0, len);
  AtomSpan moov;
  if (!top.next(moov)) return damaged("moov");
  std::vector<AtomSpan> extends;  // "mvex", read once every track is known
  const bool ok = for_each_child(in, moov, 0, [&](const AtomSpan& c) {
    if (c.is("mvhd")) movie.has_mvhd = true;
    if (c.is("mvex")) extends.push_back(c);
    if (!c.is("trak")) return true;
    movie.tracks.emplace_back();
    return read_track(in, c, movie.tracks.back());
  });
  if (!ok) return false;
  for (const AtomSpan& mvex : extends) {
    movie.fragmented = true;
    if (!for_each_child(in, mvex, 0, [&](const AtomSpan& c) {
          return !c.is("trex") || read_trex(atom_reader(in, c), movie);
        })) {
      return false;
    }
  }
  for (MovieTrack& t : movie.tracks) track_chunks(t);
  return true;
}

}  // namespace mov_internal

bool MovieTrack::is(const char* handler_type) const {
  return has_hdlr && std::memcmp(handler, handler_type, 4) == 0;
}

uint32_t MovieTrack::size_in(const MediaChunk& c, uint32_t j) const {
  if (!c.listed) return c.sample_size;
  const uint64_t at = c.sizes_at + j;
  return at < sample_sizes.size() ? sample_sizes[static_cast<size_t>(at)] : 0;
}

void track_chunks(MovieTrack& track) {
  track.chunks.clear();
  if (track.chunk_map.empty()) return;
  size_t k = 0;
  uint64_t first = 0;
  for (size_t i = 0; i < track.chunk_offsets.size(); ++i) {
    const uint64_t number = uint64_t{i} + 1;
    if (k + 1 < track.chunk_map.size() && number >= track.chunk_map[k + 1].first_chunk) ++k;
    const uint32_t samples = track.chunk_map[k].samples_per_chunk;
    const bool listed = track.sample_size == 0;
    track.chunks.push_back(
        {track.chunk_offsets[i], first, samples, track.sample_size, listed, first});
    first += samples;
  }
}
