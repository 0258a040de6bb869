// Builds small QuickTime movies: ftyp, moov (mvhd, a video trak with tkhd, mdia > mdhd, hdlr,
// minf > stbl > stsd, stts, stsc, stsz, stco or co64), sound traks after it, and mdat, with the
// fields laid out as in the QuickTime file format.
#include "tests/support/movie_writer.h"

#include <algorithm>
#include <cassert>
#include <fstream>
#include <numeric>
#include <utility>

#include "tests/support/bytes.h"

namespace testmov {
namespace {

using Bytes = std::vector<uint8_t>;

void matrix(testbytes::ByteWriter& w) {
  for (uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) w.u32(v);
}

// The movie atom, with the chunk offsets given (logical chunk order).
Bytes build_moov(const MovieRecipe& r, const std::vector<uint32_t>& layout,
                 const std::vector<uint64_t>& offsets,
                 const std::vector<std::vector<uint64_t>>& sound_offsets) {
  // Every stts entry stands for one frame, the last one for the rest.
  const size_t entries = r.durations.size(), frames = r.frames.size();
  const auto frames_of = [&](size_t i) -> uint64_t {
    return i + 1 < entries ? 1 : frames > i ? frames - i : 0;
  };
  uint64_t duration = 0;
  for (size_t i = 0; i < entries; ++i) duration += uint32_t(r.durations[i]) * frames_of(i);
  const uint32_t scale = uint32_t(r.time_scale), dur = uint32_t(duration);
  testbytes::ByteWriter w(true);
  const size_t moov = w.open("moov"), mvhd = w.open("mvhd");
  w.zeros(12).u32(scale).u32(dur).u32(0x10000).u16(0x100).zeros(10);
  matrix(w);
  w.zeros(24).u32(2).close(mvhd);
  const size_t trak = w.open("trak"), tkhd = w.open("tkhd");
  w.u32(3).zeros(8).u32(1).u32(0).u32(dur).zeros(16);
  matrix(w);
  w.u32(uint32_t(r.width) << 16 | (uint32_t(r.width_fraction * 65536.0) & 0xFFFF))
      .u32(uint32_t(r.height) << 16);
  w.close(tkhd);
  const size_t mdia = w.open("mdia"), mdhd = w.open("mdhd");
  w.zeros(12).u32(scale).u32(dur).u32(0).close(mdhd);
  const size_t hdlr = w.open("hdlr");
  w.u32(0).cc("mhlr").cc("vide").zeros(13).close(hdlr);
  const size_t minf = w.open("minf"), stbl = w.open("stbl"), stsd = w.open("stsd");
  w.u32(0).u32(r.stsd_entries);
  // A claimed count above one gets that many copies (a few at most), so the atom stays
  // consistent; a count of 0 still carries the one description the walk reads.
  const std::string name = r.format == "raw " ? "None" : "BMP";
  for (uint32_t i = 0; i < std::clamp<uint32_t>(r.stsd_entries, 1, 8); ++i) {
    const size_t entry = w.open(r.format);
    w.zeros(6)
        .u16(1)
        .zeros(12)
        .u32(0x400)
        .u16(uint32_t(r.width))
        .u16(uint32_t(r.height))
        .u32(72u << 16);
    w.u32(72u << 16).u32(0).u16(1).num(name.size(), 1).bytes(Bytes(name.begin(), name.end()));
    w.zeros(31 - name.size()).u16(24).u16(0xFFFF);
    w.close(entry);
  }
  w.close(stsd);
  const size_t stts = w.open("stts");
  w.u32(0).u32(entries);
  for (size_t i = 0; i < entries; ++i) w.u32(frames_of(i)).u32(uint32_t(r.durations[i]));
  w.close(stts);
  std::vector<uint32_t> changes;  // one stsc entry per change of frames per chunk
  for (size_t i = 0; i < layout.size(); ++i)
    if (i == 0 || layout[i] != layout[i - 1]) changes.push_back(uint32_t(i));
  const size_t stsc = w.open("stsc");
  w.u32(0).u32(changes.size());
  for (uint32_t i : changes) w.u32(i + 1).u32(layout[i]).u32(1);
  w.close(stsc);
  const size_t stsz = w.open("stsz");
  const bool same = std::all_of(r.frames.begin(), r.frames.end(),
                                [&](const Bytes& f) { return f.size() == r.frames[0].size(); });
  w.u32(0).u32(same && frames ? r.frames[0].size() : 0).u32(frames);
  for (size_t i = 0; !same && i < frames; ++i) w.u32(r.frames[i].size());
  w.close(stsz);
  const size_t stco = w.open(r.use_co64 ? "co64" : "stco");
  w.u32(0).u32(offsets.size());
  for (uint64_t off : offsets) w.num(off, r.use_co64 ? 8 : 4);
  w.close(stco);
  for (size_t at : {stbl, minf, mdia, trak}) w.close(at);
  for (size_t k = 0; k < r.sounds.size(); ++k)
    w.bytes(sound_trak(r.sounds[k], uint32_t(k + 2), sound_offsets[k]));
  w.close(moov);
  return w.b;
}

}  // namespace

std::vector<uint8_t> sound_trak(const SoundRecipe& s, uint32_t id,
                                const std::vector<uint64_t>& offsets) {
  testbytes::ByteWriter w(true);
  uint32_t samples = 0;
  for (const Bytes& c : s.chunks)
    samples += s.samples_per_chunk ? s.samples_per_chunk : uint32_t(c.size() / s.block_align);
  const size_t trak = w.open("trak"), tkhd = w.open("tkhd");
  w.u32(3).zeros(8).u32(id).zeros(60).u32(0).u32(0).close(tkhd);
  const size_t mdia = w.open("mdia"), mdhd = w.open("mdhd");
  w.zeros(12).u32(uint32_t(s.time_scale)).u32(samples).u32(0).close(mdhd);
  const size_t hdlr = w.open("hdlr");
  w.u32(0).cc("mhlr").cc("soun").zeros(13).close(hdlr);
  const size_t minf = w.open("minf"), stbl = w.open("stbl"), stsd = w.open("stsd");
  w.u32(0).u32(1).bytes(s.description).close(stsd);
  const size_t stts = w.open("stts");
  w.u32(0).u32(1).u32(samples).u32(1).close(stts);
  const size_t stsc = w.open("stsc");
  w.u32(0).u32(s.chunks.size());
  for (size_t i = 0; i < s.chunks.size(); ++i)
    w.u32(i + 1)
        .u32(s.samples_per_chunk ? s.samples_per_chunk : s.chunks[i].size() / s.block_align)
        .u32(1);
  w.close(stsc);
  const size_t stsz = w.open("stsz");
  w.u32(0).u32(s.sample_size).u32(samples);
  for (uint32_t i = 0; s.sample_size == 0 && i < samples; ++i) w.u32(0);
  w.close(stsz);
  const size_t stco = w.open("stco");
  w.u32(0).u32(offsets.size());
  for (uint64_t off : offsets) w.u32(off + s.offset_shift);
  w.close(stco);
  for (size_t at : {stbl, minf, mdia, trak}) w.close(at);
  return w.b;
}

std::vector<uint8_t> build_movie(const MovieRecipe& recipe) {
  std::vector<uint32_t> layout = recipe.frames_per_chunk;  // frames per chunk, logical order
  if (layout.empty()) layout.assign(recipe.frames.size(), 1);
  assert(std::accumulate(layout.begin(), layout.end(), uint64_t{0}) == recipe.frames.size());
  std::vector<size_t> order = recipe.chunk_order;  // physical order
  if (order.empty()) {
    order.resize(layout.size());
    std::iota(order.begin(), order.end(), 0);
  }
  std::vector<size_t> first(layout.size());  // each chunk's first frame and its bytes
  std::vector<uint64_t> bytes(layout.size());
  uint64_t payload = recipe.mdat_padding;
  for (size_t c = 0, next = 0; c < layout.size(); next += layout[c++]) {
    first[c] = next;
    for (uint32_t k = 0; k < layout[c]; ++k) bytes[c] += recipe.frames[next + k].size();
    payload += bytes[c];
  }
  std::vector<std::vector<uint64_t>> sound_offsets;
  for (const SoundRecipe& s : recipe.sounds) {
    sound_offsets.emplace_back(s.chunks.size());
    for (const Bytes& c : s.chunks) payload += c.size();
  }
  const bool large_mdat = recipe.mdat_size64 || payload + 8 > 0xFFFFFFFFu;

  testbytes::ByteWriter file(true);
  const size_t ftyp = file.open("ftyp");
  file.cc("qt  ").u32(0x20050300).cc("qt  ").close(ftyp);
  // The movie atom's size does not depend on the offsets: a build with zero offsets gives
  // the position of the media data when the movie atom comes first.
  uint64_t pos = file.b.size() + (large_mdat ? 16 : 8) + recipe.mdat_padding;
  if (recipe.moov_first)
    pos += build_moov(recipe, layout, std::vector<uint64_t>(layout.size()), sound_offsets).size();
  // The media data: each video chunk, then the sound chunks that follow it; the rest last.
  std::vector<uint64_t> offsets(layout.size());
  std::vector<std::pair<const Bytes*, uint64_t*>> media;  // in file order
  for (size_t k = 0; k < order.size(); ++k) {
    for (uint32_t f = 0; f < layout[order[k]]; ++f)
      media.push_back({&recipe.frames[first[order[k]] + f], f ? nullptr : &offsets[order[k]]});
    for (size_t t = 0; t < recipe.sounds.size(); ++t)
      if (!recipe.sounds[t].after_frames && k < recipe.sounds[t].chunks.size())
        media.push_back({&recipe.sounds[t].chunks[k], &sound_offsets[t][k]});
  }
  for (size_t t = 0; t < recipe.sounds.size(); ++t)
    for (size_t i = recipe.sounds[t].after_frames ? 0 : order.size();
         i < recipe.sounds[t].chunks.size(); ++i)
      media.push_back({&recipe.sounds[t].chunks[i], &sound_offsets[t][i]});
  for (const auto& [data, at] : media) {
    if (at) *at = pos;
    pos += data->size();
  }
  const Bytes moov = build_moov(recipe, layout, offsets, sound_offsets);
  if (recipe.moov_first) file.bytes(moov);
  if (large_mdat)
    file.u32(1).cc("mdat").u64(payload + 16);
  else
    file.u32(payload + 8).cc("mdat");
  file.zeros(recipe.mdat_padding);
  for (const auto& media_data : media) file.bytes(*media_data.first);
  if (!recipe.moov_first) file.bytes(moov);
  return file.b;
}

bool write_movie(const std::string& path, const MovieRecipe& recipe) {
  const std::vector<uint8_t> bytes = build_movie(recipe);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

}  // namespace testmov
