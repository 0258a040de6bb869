// Builds small but complete QuickTime movies: ftyp, moov (mvhd, one video trak with
// tkhd, mdia > mdhd, hdlr, minf > vmhd, hdlr, dinf, stbl) and mdat. The atom layout
// follows the QuickTime file format closely enough for other demuxers to read the
// result, so a test movie is also a real movie.
#include "tests/support/movie_writer.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <fstream>
#include <numeric>

namespace testmov {
namespace {

// Big-endian byte sink with atoms that patch their own size when closed.
class AtomWriter {
 public:
  void u8(uint32_t v) { out_.push_back(static_cast<uint8_t>(v)); }
  void be16(uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void be32(uint32_t v) {
    be16(v >> 16);
    be16(v & 0xFFFF);
  }
  void be64(uint64_t v) {
    be32(static_cast<uint32_t>(v >> 32));
    be32(static_cast<uint32_t>(v));
  }
  void fourcc(const std::string& code) {
    assert(code.size() == 4);
    out_.insert(out_.end(), code.begin(), code.end());
  }
  void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  void bytes(const std::vector<uint8_t>& b) { out_.insert(out_.end(), b.begin(), b.end()); }

  // Opens an atom: size placeholder and type; returns its start for close().
  size_t open(const std::string& type) {
    size_t start = out_.size();
    be32(0);
    fourcc(type);
    return start;
  }
  void close(size_t start) {
    uint64_t size = out_.size() - start;
    assert(size <= 0xFFFFFFFFu);
    for (int i = 0; i < 4; ++i)
      out_[start + i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  }
  // Full-atom header: version byte and 24-bit flags.
  void version_flags(uint32_t version, uint32_t flags) { be32(version << 24 | (flags & 0xFFFFFF)); }

  size_t size() const { return out_.size(); }
  std::vector<uint8_t>& data() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

void identity_matrix(AtomWriter& w) {
  const uint32_t m[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
  for (uint32_t v : m) w.be32(v);
}

// Frames per chunk in logical chunk order.
std::vector<uint32_t> chunk_layout(const MovieRecipe& recipe) {
  if (!recipe.frames_per_chunk.empty()) {
    assert(std::accumulate(recipe.frames_per_chunk.begin(), recipe.frames_per_chunk.end(),
                           uint64_t{0}) == recipe.frames.size());
    return recipe.frames_per_chunk;
  }
  return std::vector<uint32_t>(recipe.frames.size(), 1);
}

std::vector<size_t> physical_order(const MovieRecipe& recipe, size_t chunks) {
  if (recipe.chunk_order.empty()) {
    std::vector<size_t> order(chunks);
    std::iota(order.begin(), order.end(), 0);
    return order;
  }
  assert(recipe.chunk_order.size() == chunks);
  return recipe.chunk_order;
}

uint32_t media_duration(const MovieRecipe& recipe) {
  if (recipe.durations.empty()) return 0;
  uint64_t frames = recipe.frames.size();
  uint64_t total = 0;
  for (size_t i = 0; i + 1 < recipe.durations.size(); ++i)
    total += static_cast<uint32_t>(recipe.durations[i]);
  uint64_t rest = frames > recipe.durations.size() - 1 ? frames - (recipe.durations.size() - 1) : 0;
  total += rest * static_cast<uint32_t>(recipe.durations.back());
  return static_cast<uint32_t>(total);
}

void write_video_description(AtomWriter& w, const MovieRecipe& recipe) {
  size_t entry = w.open(recipe.format);
  w.zeros(6);    // reserved
  w.be16(1);     // data reference index
  w.be16(0);     // version
  w.be16(0);     // revision level
  w.be32(0);     // vendor
  w.be32(0);     // temporal quality
  w.be32(0x400); // spatial quality: lossless
  w.be16(static_cast<uint32_t>(recipe.width));
  w.be16(static_cast<uint32_t>(recipe.height));
  w.be32(72u << 16);  // horizontal resolution
  w.be32(72u << 16);  // vertical resolution
  w.be32(0);          // data size
  w.be16(1);          // frames per sample
  const std::string name = recipe.format == "raw " ? "None" : "BMP";
  w.u8(static_cast<uint32_t>(name.size()));
  w.data().insert(w.data().end(), name.begin(), name.end());
  w.zeros(31 - name.size());
  w.be16(24);      // depth
  w.be16(0xFFFF);  // no colour table
  w.close(entry);
}

void write_handler(AtomWriter& w, const char* type, const char* subtype, const std::string& name) {
  size_t hdlr = w.open("hdlr");
  w.version_flags(0, 0);
  w.fourcc(type);
  w.fourcc(subtype);
  w.be32(0);  // manufacturer
  w.be32(0);  // flags
  w.be32(0);  // flags mask
  w.u8(static_cast<uint32_t>(name.size()));
  w.data().insert(w.data().end(), name.begin(), name.end());
  w.close(hdlr);
}

// The movie atom, with the chunk offsets given (logical chunk order).
std::vector<uint8_t> build_moov(const MovieRecipe& recipe, const std::vector<uint32_t>& layout,
                                const std::vector<uint64_t>& offsets) {
  const uint32_t duration = media_duration(recipe);
  const uint32_t time_scale = static_cast<uint32_t>(recipe.time_scale);
  AtomWriter w;
  size_t moov = w.open("moov");

  size_t mvhd = w.open("mvhd");
  w.version_flags(0, 0);
  w.be32(0);  // creation time
  w.be32(0);  // modification time
  w.be32(time_scale);
  w.be32(duration);
  w.be32(0x00010000);  // preferred rate 1.0
  w.be16(0x0100);      // preferred volume 1.0
  w.zeros(10);
  identity_matrix(w);
  w.zeros(6 * 4);  // preview, poster, selection and current times
  w.be32(2);       // next track id
  w.close(mvhd);
  assert(w.size() - mvhd == 108);

  size_t trak = w.open("trak");
  size_t tkhd = w.open("tkhd");
  w.version_flags(0, 0x000003);  // enabled, in movie
  w.be32(0);  // creation time
  w.be32(0);  // modification time
  w.be32(1);  // track id
  w.be32(0);  // reserved
  w.be32(duration);
  w.zeros(8);
  w.be16(0);  // layer
  w.be16(0);  // alternate group
  w.be16(0);  // volume: none for video
  w.be16(0);
  identity_matrix(w);
  uint32_t fraction = static_cast<uint32_t>(recipe.width_fraction * 65536.0) & 0xFFFF;
  assert(w.size() - tkhd == 84);
  w.be32(static_cast<uint32_t>(recipe.width) << 16 | fraction);
  w.be32(static_cast<uint32_t>(recipe.height) << 16);
  w.close(tkhd);

  size_t mdia = w.open("mdia");
  size_t mdhd = w.open("mdhd");
  w.version_flags(0, 0);
  w.be32(0);  // creation time
  w.be32(0);  // modification time
  assert(w.size() - mdhd == 20);
  w.be32(time_scale);
  w.be32(duration);
  w.be16(0);    // language
  w.be16(0);    // quality
  w.close(mdhd);
  write_handler(w, "mhlr", "vide", "VideoHandler");

  size_t minf = w.open("minf");
  size_t vmhd = w.open("vmhd");
  w.version_flags(0, 1);
  w.be16(0x40);  // graphics mode: copy
  w.zeros(6);    // opcolor
  w.close(vmhd);
  write_handler(w, "dhlr", "alis", "DataHandler");
  size_t dinf = w.open("dinf");
  size_t dref = w.open("dref");
  w.version_flags(0, 0);
  w.be32(1);
  size_t alis = w.open("alis");
  w.version_flags(0, 1);  // the data is in this file
  w.close(alis);
  w.close(dref);
  w.close(dinf);

  size_t stbl = w.open("stbl");
  size_t stsd = w.open("stsd");
  w.version_flags(0, 0);
  w.be32(recipe.stsd_entries);
  // A claimed count above one gets that many copies (a few at most), so the atom stays
  // consistent; a count of 0 still carries the one description the walk reads.
  uint32_t copies = std::min<uint32_t>(std::max<uint32_t>(recipe.stsd_entries, 1), 8);
  for (uint32_t i = 0; i < copies; ++i) write_video_description(w, recipe);
  w.close(stsd);

  size_t stts = w.open("stts");
  w.version_flags(0, 0);
  w.be32(static_cast<uint32_t>(recipe.durations.size()));
  for (size_t i = 0; i < recipe.durations.size(); ++i) {
    uint64_t count = 1;
    if (i + 1 == recipe.durations.size()) {
      uint64_t frames = recipe.frames.size();
      count = frames > i ? frames - i : 0;
    }
    w.be32(static_cast<uint32_t>(count));
    w.be32(static_cast<uint32_t>(recipe.durations[i]));
  }
  w.close(stts);

  size_t stsc = w.open("stsc");
  w.version_flags(0, 0);
  size_t count_at = w.size();
  w.be32(0);
  uint32_t entries = 0;
  for (size_t i = 0; i < layout.size(); ++i) {
    if (i > 0 && layout[i] == layout[i - 1]) continue;
    w.be32(static_cast<uint32_t>(i + 1));
    w.be32(layout[i]);
    w.be32(1);  // sample description id
    ++entries;
  }
  for (int i = 0; i < 4; ++i) w.data()[count_at + i] = static_cast<uint8_t>(entries >> (24 - 8 * i));
  w.close(stsc);

  size_t stsz = w.open("stsz");
  w.version_flags(0, 0);
  bool same_size = std::all_of(recipe.frames.begin(), recipe.frames.end(), [&](const auto& f) {
    return f.size() == recipe.frames.front().size();
  });
  if (same_size) {
    w.be32(recipe.frames.empty() ? 0 : static_cast<uint32_t>(recipe.frames.front().size()));
    w.be32(static_cast<uint32_t>(recipe.frames.size()));
  } else {
    w.be32(0);
    w.be32(static_cast<uint32_t>(recipe.frames.size()));
    for (const auto& f : recipe.frames) w.be32(static_cast<uint32_t>(f.size()));
  }
  w.close(stsz);

  size_t stco = w.open(recipe.use_co64 ? "co64" : "stco");
  w.version_flags(0, 0);
  w.be32(static_cast<uint32_t>(offsets.size()));
  for (uint64_t off : offsets) {
    if (recipe.use_co64) {
      w.be64(off);
    } else {
      assert(off <= 0xFFFFFFFFu);
      w.be32(static_cast<uint32_t>(off));
    }
  }
  w.close(stco);

  w.close(stbl);
  w.close(minf);
  w.close(mdia);
  w.close(trak);
  w.close(moov);
  return std::move(w.data());
}

std::vector<uint8_t> build_ftyp() {
  AtomWriter w;
  size_t ftyp = w.open("ftyp");
  w.fourcc("qt  ");
  w.be32(0x20050300);  // minor version
  w.fourcc("qt  ");
  w.close(ftyp);
  return std::move(w.data());
}

}  // namespace

std::vector<uint8_t> build_movie(const MovieRecipe& recipe) {
  const std::vector<uint32_t> layout = chunk_layout(recipe);
  const std::vector<size_t> order = physical_order(recipe, layout.size());

  // First frame of each logical chunk, and each chunk's byte length.
  std::vector<size_t> first_frame(layout.size());
  std::vector<uint64_t> chunk_bytes(layout.size());
  size_t next = 0;
  for (size_t c = 0; c < layout.size(); ++c) {
    first_frame[c] = next;
    for (uint32_t k = 0; k < layout[c]; ++k) chunk_bytes[c] += recipe.frames[next + k].size();
    next += layout[c];
  }

  uint64_t payload = recipe.mdat_padding;
  for (uint64_t b : chunk_bytes) payload += b;
  const bool large_mdat = recipe.mdat_size64 || payload + 8 > 0xFFFFFFFFu;
  const uint64_t mdat_header = large_mdat ? 16 : 8;

  const std::vector<uint8_t> ftyp = build_ftyp();
  // The movie atom's size does not depend on the offset values, so a first build with
  // zero offsets gives the position of the media data when the movie atom comes first.
  const size_t moov_size = build_moov(recipe, layout, std::vector<uint64_t>(layout.size())).size();
  const uint64_t mdat_start = ftyp.size() + (recipe.moov_first ? moov_size : 0);

  std::vector<uint64_t> offsets(layout.size());
  uint64_t pos = mdat_start + mdat_header + recipe.mdat_padding;
  for (size_t c : order) {
    offsets[c] = pos;
    pos += chunk_bytes[c];
  }
  const std::vector<uint8_t> moov = build_moov(recipe, layout, offsets);
  assert(moov.size() == moov_size);

  AtomWriter mdat;
  if (large_mdat) {
    mdat.be32(1);
    mdat.fourcc("mdat");
    mdat.be64(payload + 16);
  } else {
    mdat.be32(static_cast<uint32_t>(payload + 8));
    mdat.fourcc("mdat");
  }
  mdat.zeros(recipe.mdat_padding);
  for (size_t c : order)
    for (uint32_t k = 0; k < layout[c]; ++k) mdat.bytes(recipe.frames[first_frame[c] + k]);

  std::vector<uint8_t> file(ftyp);
  if (recipe.moov_first) file.insert(file.end(), moov.begin(), moov.end());
  file.insert(file.end(), mdat.data().begin(), mdat.data().end());
  if (!recipe.moov_first) file.insert(file.end(), moov.begin(), moov.end());
  return file;
}

bool write_movie(const std::string& path, const MovieRecipe& recipe) {
  const std::vector<uint8_t> bytes = build_movie(recipe);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<uint8_t> make_frame(int width, int height, uint32_t seed, int noise) {
  if (width <= 0 || height <= 0) return {};
  std::vector<uint8_t> frame(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t base[3] = {
          static_cast<uint32_t>(int64_t{x} * 256 / width) + seed * 8,
          static_cast<uint32_t>(int64_t{y} * 256 / height) + seed * 5,
          static_cast<uint32_t>((int64_t{x} + y) * 128 / (int64_t{width} + height)) + 128 - seed * 11};
      for (int c = 0; c < 3; ++c) {
        int v = static_cast<int>(base[c] & 0xFF);
        if (noise > 0) v += static_cast<int>(next() % (2u * noise + 1)) - noise;
        frame[i++] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
    }
  }
  return frame;
}

}  // namespace testmov
