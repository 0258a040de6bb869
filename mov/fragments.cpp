// Movie fragments: each top-level "moof" lists, per track ("traf"), runs of samples
// ("trun") that follow each other in its media data. Every field is a claim: a run's
// table must fit its atom, its samples must lie inside the file, and a fragment whose
// atoms do not add up stops the reading of fragments there.
#include <algorithm>
#include <cstring>
#include <memory>

#include "common/common.h"
#include "mov/atom_tree.h"
#include "mov/mov.h"

using mov_internal::AtomSpan;
using mov_internal::ChildAtoms;

namespace {

// "tfhd" and "trun" flags.
constexpr uint32_t kBaseDataOffset = 0x1;
constexpr uint32_t kDescriptionIndex = 0x2;
constexpr uint32_t kDefaultDuration = 0x8;
constexpr uint32_t kDefaultSize = 0x10;
constexpr uint32_t kDefaultFlags = 0x20;
constexpr uint32_t kDataOffset = 0x1;
constexpr uint32_t kFirstSampleFlags = 0x4;
constexpr uint32_t kSampleDuration = 0x100;
constexpr uint32_t kSampleSize = 0x200;
constexpr uint32_t kSampleFlags = 0x400;
constexpr uint32_t kSampleTimeOffset = 0x800;
// Sizes listed one by one are kept only while they fit this many entries (64 MiB);
// uniform runs keep none.
constexpr size_t kMaxListedSizes = size_t{1} << 24;

// One "traf"'s header: its track and the defaults for its runs.
struct FragmentTrack {
  MovieTrack* track = nullptr;
  uint64_t base = 0;
  bool has_duration = false, has_size = false;
  uint32_t duration = 0, size = 0;
};

bool read_tfhd(const ByteReader& a, uint64_t moof_start, std::vector<MovieTrack>& tracks,
               FragmentTrack& f) {
  uint32_t flags = 0, id = 0;
  if (!a.be32(8, flags) || !a.be32(12, id)) return false;
  size_t at = 16;
  f.base = moof_start;  // also with default-base-is-moof
  if (flags & kBaseDataOffset) {
    if (!a.be64(at, f.base)) return false;
    at += 8;
  }
  if (flags & kDescriptionIndex) at += 4;
  f.has_duration = (flags & kDefaultDuration) != 0;
  if (f.has_duration && !a.be32(at, f.duration)) return false;
  at += f.has_duration ? 4 : 0;
  f.has_size = (flags & kDefaultSize) != 0;
  if (f.has_size && !a.be32(at, f.size)) return false;
  at += f.has_size ? 4 : 0;
  if ((flags & kDefaultFlags) && !a.has(at, 4)) return false;
  f.track = nullptr;
  for (MovieTrack& t : tracks) {
    if (t.track_id == id) {
      f.track = &t;
      break;
    }
  }
  if (f.track != nullptr && f.track->has_defaults) {
    if (!f.has_duration) f.duration = f.track->defaults.duration, f.has_duration = true;
    if (!f.has_size) f.size = f.track->defaults.size, f.has_size = true;
  }
  return true;
}

// The samples a track has so far: those of its tables' chunks and of earlier fragments.
uint64_t samples_so_far(const MovieTrack& t) {
  if (t.chunks.empty()) return 0;
  return t.chunks.back().first_sample + t.chunks.back().samples;
}

// One "trun": its samples appended to the track as one run at next (or at the base plus
// its data offset); next moves past them. False when the run is damaged.
bool read_trun(const ByteReader& a, uint64_t file_size, const FragmentTrack& f, uint64_t& next) {
  uint32_t flags = 0, count = 0;
  if (!a.be32(8, flags) || !a.be32(12, count)) return false;
  size_t at = 16;
  uint64_t offset = next;
  if (flags & kDataOffset) {
    uint32_t data_offset = 0;
    if (!a.be32(at, data_offset)) return false;
    const int64_t delta = static_cast<int32_t>(data_offset);
    if (delta < 0 && uint64_t(-delta) > f.base) return false;
    offset = f.base + static_cast<uint64_t>(delta);
    at += 4;
  }
  if (flags & kFirstSampleFlags) at += 4;
  const uint32_t fields =
      flags & (kSampleDuration | kSampleSize | kSampleFlags | kSampleTimeOffset);
  const size_t entry = 4 * static_cast<size_t>(__builtin_popcount(fields));
  if (entry > 0 ? !a.has_table(at, count, entry) : !a.has(at, 0)) return false;
  const bool sizes = (flags & kSampleSize) != 0;
  if (!sizes && !f.has_size) return false;  // no size known for its samples
  MovieTrack& t = *f.track;
  MediaChunk run{offset, samples_so_far(t), count, f.size, false, 0};
  uint64_t bytes = uint64_t{count} * f.size;
  if (sizes) {
    // Sizes listed one by one: kept as one size when they are all the same.
    const size_t size_at = at + ((flags & kSampleDuration) ? 4 : 0);
    bytes = 0;
    bool same = true;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t s = load_be32(a.data() + size_at + i * entry);
      if (i == 0) run.sample_size = s;
      same = same && s == run.sample_size;
      bytes += s;
    }
    if (!same) {
      if (t.sample_sizes.size() + count > kMaxListedSizes) return false;
      run.listed = true;
      run.sizes_at = t.sample_sizes.size();
      for (uint32_t i = 0; i < count; ++i)
        t.sample_sizes.push_back(load_be32(a.data() + size_at + i * entry));
    }
  }
  if (offset > file_size || bytes > file_size - offset) return false;
  if (count > 0 && t.fragment_samples == 0) {
    uint32_t first = f.duration;
    if (flags & kSampleDuration)
      first = load_be32(a.data() + at);
    else if (!f.has_duration)
      first = 0;
    t.first_fragment_duration = first;
  }
  t.fragment_samples += count;
  t.chunks.push_back(run);
  next = offset + bytes;
  return true;
}

// One "traf": its header, then its runs in order.
bool read_traf(const ByteReader& in, const AtomSpan& traf, uint64_t moof_start, uint64_t file_size,
               std::vector<MovieTrack>& tracks) {
  ChildAtoms children(in, traf.body, traf.end);
  AtomSpan c;
  FragmentTrack f;
  bool have_header = false;
  uint64_t next = 0;
  while (children.next(c)) {
    const ByteReader a(in.data() + c.start, c.end - c.start);
    if (c.is("tfhd") && !have_header) {
      if (!read_tfhd(a, moof_start, tracks, f)) return false;
      have_header = true;
      next = f.base;
    } else if (c.is("trun")) {
      if (!have_header) return false;
      if (f.track != nullptr && !read_trun(a, file_size, f, next)) return false;
    }
  }
  return !children.damaged();
}

bool read_moof(const ByteReader& in, uint64_t moof_start, uint64_t file_size,
               std::vector<MovieTrack>& tracks) {
  ChildAtoms top(in, 0, in.size());
  AtomSpan moof;
  if (!top.next(moof) || !moof.is("moof")) return false;
  ChildAtoms children(in, moof.body, moof.end);
  AtomSpan c;
  while (children.next(c)) {
    if (c.is("traf") && !read_traf(in, c, moof_start, file_size, tracks)) return false;
  }
  return !children.damaged();
}

}  // namespace

namespace mov_internal {

bool read_fragments(uint64_t file_size, const ReadAt& read_at,
                    const std::vector<FragmentSpan>& fragments, std::vector<MovieTrack>& tracks,
                    uint64_t& damaged_at) {
  std::vector<unsigned char> bytes;
  struct Kept {
    size_t chunks, sizes;
    uint64_t samples;
  };
  std::vector<Kept> kept(tracks.size());
  for (const FragmentSpan& moof : fragments) {
    for (size_t i = 0; i < tracks.size(); ++i)
      kept[i] = {tracks[i].chunks.size(), tracks[i].sample_sizes.size(),
                 tracks[i].fragment_samples};
    bool ok = moof.size <= kMaxMovieAtomBytes;
    if (ok) {
      bytes.resize(static_cast<size_t>(moof.size));
      ok = read_at(moof.start, bytes.data(), bytes.size()) &&
           read_moof(ByteReader(bytes.data(), bytes.size()), moof.start, file_size, tracks);
    }
    if (!ok) {
      // A damaged fragment adds nothing: the index ends with the fragment before it.
      for (size_t i = 0; i < tracks.size(); ++i) {
        tracks[i].chunks.resize(kept[i].chunks);
        tracks[i].sample_sizes.resize(kept[i].sizes);
        tracks[i].fragment_samples = kept[i].samples;
      }
      damaged_at = moof.start;
      return false;
    }
  }
  return true;
}

}  // namespace mov_internal
