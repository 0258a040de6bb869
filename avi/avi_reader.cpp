// avi/avi_reader.cpp: read_avi, the RIFF reader for untrusted AVI files.
//
// Read me first. The reader never holds the file in memory: it seeks to each structure
// and reads it through FileWindow, which refuses any range that does not lie wholly in the
// file; the fields of what was read are taken through ByteReader, which refuses any field
// that does not lie wholly in its buffer. Every check is written so that it cannot
// overflow (off <= size && n <= size - off), in 64 bits.
//
// Sound streams ('auds') are read the same way, each from its own 'indx', from idx1 or by
// the walk; their chunks are checked as frames are, and a stream is never a reason to
// refuse the file.
//
// Outcomes:
// - The file as a whole cannot be used (not RIFF 'AVI ', header lists damaged or cut
//   short, no video stream or more than one, a format other than VIZU or 24-bit DIB,
//   frame geometry out of range): false and a message.
// - One frame cannot be used (its index entry points outside the file, its chunk header
//   does not match the index, the file ends inside it): the frame is listed with
//   AviFrame::damage set. With an index the reader goes on to the next entry; a walk of
//   the 'movi' list cannot go past a chunk whose size is wrong, so it stops there.
// - Fewer frames are found than strh dwLength declares: one damaged entry stands for the
//   first missing frame, so that a truncated file names where it ends.
//
// Where the frames come from, in this order of preference: the OpenDML super index ('indx'
// in the video stream list, with its 'ix##' standard indexes), "idx1" when the file has a
// single 'movi' list, otherwise a walk of every 'movi' list. An index that cannot be used
// as a whole (its offsets match no chunk, it lists more frames than the file can hold, a
// standard index lies outside the file) is set aside for the next source.
//
// zoduviv pads frame chunks to a multiple of 4 bytes, not 2 as RIFF does; the walk takes
// a chunk's padding to be up to 3 zero bytes when the bytes after the RIFF pad are zero,
// which no chunk id starts with.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "common/common.h"

namespace {

constexpr uint32_t kRiff = fourcc("RIFF");
constexpr uint32_t kList = fourcc("LIST");
constexpr uint32_t kAvi = fourcc("AVI ");
constexpr uint32_t kAvix = fourcc("AVIX");
constexpr uint32_t kHdrl = fourcc("hdrl");
constexpr uint32_t kStrl = fourcc("strl");
constexpr uint32_t kStrh = fourcc("strh");
constexpr uint32_t kStrf = fourcc("strf");
constexpr uint32_t kIndx = fourcc("indx");
constexpr uint32_t kMovi = fourcc("movi");
constexpr uint32_t kRec = fourcc("rec ");
constexpr uint32_t kIdx1 = fourcc("idx1");
constexpr uint32_t kVids = fourcc("vids");
constexpr uint32_t kAuds = fourcc("auds");
constexpr uint16_t kWaveExtensible = 0xFFFE;
constexpr uint32_t kVizuUpper = kFourccVizu;
constexpr uint32_t kVizuLower = fourcc("vizu");

// A header list this long is far beyond any real one (zoduviv's is 4,588 bytes); the
// bound keeps a hostile size from sizing the buffer the list is read into.
constexpr uint32_t kMaxHeaderListBytes = 1u << 24;
// Stream ids are two decimal digits.
constexpr int kMaxStreams = 100;
// RIFF lists after the first ('AVIX'); zoduviv writes at most 255.
constexpr int kMaxRiffLists = 4096;
// Index entries are read this many at a time, so an index is never held whole.
constexpr size_t kIndexBlockEntries = 4096;
// How many idx1 entries decide whether its offsets are absolute or count from 'movi'.
constexpr size_t kProbeEntries = 16;
// write_frame takes the frame length as int and adds 4 to it.
constexpr uint64_t kMaxFrameBytes = static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) - 8;

constexpr const char* kOutsideFile = "its index entry points outside the file";
constexpr const char* kHeaderMismatch = "its chunk header does not match the index";
constexpr const char* kEndsInside = "the file ends inside its chunk";
constexpr const char* kPastList = "its chunk runs past the end of the 'movi' list";
constexpr const char* kEndsBefore = "the file ends before its chunk";
constexpr const char* kNotFound = "no chunk of it was found";

// Reads byte ranges of the file; refuses any range that is not wholly inside it.
class FileWindow {
 public:
  FileWindow(const ReadAt& read_at, uint64_t size) : read_at_(read_at), size_(size) {}

  uint64_t size() const { return size_; }
  bool contains(uint64_t off, uint64_t n) const { return off <= size_ && n <= size_ - off; }
  [[nodiscard]] bool read(uint64_t off, void* dst, size_t n) {
    return contains(off, n) && read_at_(off, static_cast<unsigned char*>(dst), n);
  }

 private:
  const ReadAt& read_at_;
  uint64_t size_;
};

struct ChunkHead {
  uint32_t id = 0;
  uint32_t size = 0;
  uint32_t type = 0;  // the list type, for "LIST" and "RIFF"
};

[[nodiscard]] bool read_head(FileWindow& file, uint64_t pos, ChunkHead& head) {
  uint8_t b[12];
  if (!file.read(pos, b, 8)) return false;
  ByteReader r(b, 8);
  head.id = r.le32(0);
  head.size = r.le32(4);
  head.type = 0;
  if (head.id == kList || head.id == kRiff) {
    if (!file.read(pos + 8, b + 8, 4)) return false;
    head.type = ByteReader(b, 12).le32(8);
  }
  return true;
}

// A 'movi' list: its frame chunks lie in [begin, end); cut when the file ends before the
// end its size declares.
struct MoviList {
  uint64_t type_pos = 0;  // where the list type "movi" lies; idx1 offsets may count from it
  uint64_t begin = 0;
  uint64_t end = 0;
  bool cut = false;
};

struct Layout {
  bool have_hdrl = false;
  uint64_t hdrl_data = 0;  // first byte after the list type "hdrl"
  uint32_t hdrl_bytes = 0;
  bool hdrl_cut = false;
  std::vector<MoviList> movi;
  bool have_idx1 = false;
  uint64_t idx1_data = 0;
  uint32_t idx1_bytes = 0;
  bool riff_cut = false;
};

// Visits the chunks of one RIFF list's body [pos, end). Each step moves on by at least 8
// bytes, so the walk ends; a chunk head that does not fit ends it.
void scan_riff_body(FileWindow& file, uint64_t pos, uint64_t end, bool first, Layout& layout) {
  ChunkHead head;
  while (pos < end && end - pos >= 8 && read_head(file, pos, head)) {
    const uint64_t data = pos + 8;
    const uint64_t declared_end = data + head.size;
    const bool cut = declared_end > end;
    if (head.id == kList && head.size >= 4) {
      if (head.type == kHdrl && first && !layout.have_hdrl) {
        layout.have_hdrl = true;
        layout.hdrl_data = data + 4;
        layout.hdrl_bytes = head.size - 4;
        layout.hdrl_cut = cut;
      } else if (head.type == kMovi) {
        MoviList m;
        m.type_pos = data;
        m.begin = data + 4;
        m.end = std::max(m.begin, std::min(declared_end, end));
        m.cut = cut;
        layout.movi.push_back(m);
      }
    } else if (head.id == kIdx1 && first && !layout.have_idx1 && !cut) {
      layout.have_idx1 = true;
      layout.idx1_data = data;
      layout.idx1_bytes = head.size;
    }
    if (cut) break;
    pos = declared_end + (head.size & 1);
  }
}

// What a stream list in 'hdrl' told about its stream.
struct VideoStream {
  int number = -1;
  uint32_t type = 0;  // strh fccType
  uint32_t rate = 0;
  uint32_t scale = 0;
  uint32_t length = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bit_count = 0;
  uint32_t compression = 0;
  bool have_strf = false;
  AviAudioFormat audio;  // a sound stream's WAVEFORMATEX
  bool extensible = false;
  // The 'indx' chunk's data, copied out of the header list when present.
  std::vector<uint8_t> indx;
};

// The fields of a WAVEFORMATEX of `size` bytes at data; WAVE_FORMAT_EXTENSIBLE gives the
// format tag of its SubFormat.
void parse_wave_format(ByteReader& r, size_t data, uint32_t size, VideoStream& found) {
  AviAudioFormat& f = found.audio;
  f.format_tag = r.le16(data);
  f.channels = r.le16(data + 2);
  f.sample_rate = r.le32(data + 4);
  f.block_align = r.le16(data + 12);
  f.bits_per_sample = r.le16(data + 14);
  if (f.format_tag == kWaveExtensible && size >= 40 && r.le16(data + 16) >= 22) {
    found.extensible = true;
    const uint32_t sub_format = r.le32(data + 24);
    f.format_tag = sub_format <= 0xFFFF ? static_cast<uint16_t>(sub_format) : kWaveExtensible;
  }
}

// Reads one stream list [pos, end) of the header list into found (whose number the
// caller set).
[[nodiscard]] bool parse_strl(ByteReader& r, size_t pos, size_t end, VideoStream& found,
                              std::string& error) {
  bool have_strh = false;
  size_t strf_at = 0;
  uint32_t strf_size = 0;
  while (pos < end && end - pos >= 8) {
    const uint32_t id = r.le32(pos);
    const uint32_t size = r.le32(pos + 4);
    const size_t data = pos + 8;
    if (size > end - data) break;  // a chunk cut short by its list ends the list
    if (id == kStrh && !have_strh) {
      if (size < 36) {
        error = "its stream header is too short";
        return false;
      }
      have_strh = true;
      found.type = r.le32(data);
      found.scale = r.le32(data + 20);
      found.rate = r.le32(data + 24);
      found.length = r.le32(data + 32);
    } else if (id == kStrf && strf_at == 0) {
      strf_at = data;
      strf_size = size;
    } else if (id == kIndx && found.indx.empty() && size >= 24) {
      const uint8_t* p = r.span(data, size);
      if (p != nullptr) found.indx.assign(p, p + size);
    }
    pos = data + size + (size & 1);
  }
  if (strf_at != 0 && found.type == kVids && strf_size >= 20) {
    found.have_strf = true;
    found.width = static_cast<int32_t>(r.le32(strf_at + 4));
    found.height = static_cast<int32_t>(r.le32(strf_at + 8));
    found.bit_count = r.le16(strf_at + 14);
    found.compression = r.le32(strf_at + 16);
  } else if (strf_at != 0 && found.type == kAuds && strf_size >= 16) {
    found.have_strf = true;
    parse_wave_format(r, strf_at, strf_size, found);
  }
  if (!r.ok()) {
    error = "its stream header list is damaged";
    return false;
  }
  return true;
}

// The one video stream into video, the sound streams into audio.
[[nodiscard]] bool parse_hdrl(const std::vector<uint8_t>& hdrl, VideoStream& video,
                              std::vector<VideoStream>& audio, std::string& error) {
  ByteReader r(hdrl.data(), hdrl.size());
  size_t pos = 0;
  const size_t end = hdrl.size();
  int streams = 0;
  int videos = 0;
  while (pos < end && end - pos >= 8) {
    const uint32_t id = r.le32(pos);
    const uint32_t size = r.le32(pos + 4);
    const size_t data = pos + 8;
    if (size > end - data) break;
    if (id == kList && size >= 4 && r.le32(data) == kStrl) {
      if (streams == kMaxStreams) {
        error = "it has more streams than an AVI file can name";
        return false;
      }
      VideoStream candidate;
      candidate.number = streams;
      if (!parse_strl(r, data + 4, data + size, candidate, error)) return false;
      if (candidate.type == kVids) {
        ++videos;
        video = std::move(candidate);
      } else if (candidate.type == kAuds) {
        audio.push_back(std::move(candidate));
      }
      ++streams;
    }
    pos = data + size + (size & 1);
  }
  if (videos == 0) {
    error = "it has no video stream";
    return false;
  }
  if (videos > 1) {
    error = "it has " + std::to_string(videos) + " video streams; only files with one can be read";
    return false;
  }
  if (!video.have_strf) {
    error = "its video stream has no format chunk";
    return false;
  }
  return true;
}

std::string fourcc_text(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((v >> (8 * i)) & 0xff);
    s += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return s;
}

[[nodiscard]] bool check_format(const VideoStream& v, std::string& error) {
  const bool vizu = v.compression == kVizuUpper || v.compression == kVizuLower;
  if (!vizu && v.compression != 0) {
    error = "its video format '" + fourcc_text(v.compression) +
            "' is neither Vozodiva (VIZU) nor uncompressed DIB";
    return false;
  }
  if (v.bit_count != 24) {
    error = "its frames have " + std::to_string(v.bit_count) +
            " bits per pixel; only 24-bit frames can be read";
    return false;
  }
  if (v.width <= 0 || v.height == 0) {
    error = "its frame size " + std::to_string(v.width) + " x " + std::to_string(v.height) +
            " is not valid";
    return false;
  }
  if (v.height < 0) {
    error = "its frames are stored top-down (negative height), which is not supported";
    return false;
  }
  const uint64_t pixels = static_cast<uint64_t>(v.width) * static_cast<uint64_t>(v.height);
  if (pixels * 3 > kMaxFrameBytes || (vizu && pixels > kMaxChannelBytes)) {
    error = "its frame size " + std::to_string(v.width) + " x " + std::to_string(v.height) +
            " is too large";
    return false;
  }
  return true;
}

// The chunk ids of a stream: "NNdc" and "NNdb" for video, "NNwb" (twice) for sound.
struct StreamIds {
  uint32_t dc = 0;
  uint32_t db = 0;
  bool matches(uint32_t id) const { return id == dc || id == db; }
};

StreamIds stream_ids(const VideoStream& stream) {
  const int number = stream.number;
  const uint32_t digits =
      static_cast<uint32_t>('0' + number / 10) | static_cast<uint32_t>('0' + number % 10) << 8;
  if (stream.type == kAuds) return {digits | fourcc("\0\0wb"), digits | fourcc("\0\0wb")};
  return {digits | fourcc("\0\0dc"), digits | fourcc("\0\0db")};
}

// Collects frames (or sound chunks), within a budget of one per 8 bytes of file for all
// streams together: every frame takes at least an 8-byte
// chunk head (and, when indexed, an index entry of 8 or 16 bytes besides), so no real
// file reaches the cap, while an index that names the same chunk over and over cannot
// size the table beyond the file. A walk that meets the cap anyway is an error, never a
// shorter file read as clean.
class FrameTable {
 public:
  FrameTable(std::vector<AviFrame>& frames, uint64_t cap) : frames_(frames), cap_(cap) {}

  [[nodiscard]] bool add(const AviFrame& f) {
    if (frames_.size() >= cap_) {
      full_ = true;
      return false;
    }
    frames_.push_back(f);
    return true;
  }
  bool full() const { return full_; }
  // Discards what an index that could not be used as a whole left.
  void clear() {
    frames_.clear();
    full_ = false;
  }
  void reserve(uint64_t n) { frames_.reserve(static_cast<size_t>(std::min<uint64_t>(n, cap_))); }

 private:
  std::vector<AviFrame>& frames_;
  uint64_t cap_;
  bool full_ = false;
};

AviFrame damaged(const char* why) {
  AviFrame f;
  f.damage = why;
  return f;
}

// The frame whose chunk head lies at chunk_pos, as an index entry of `size` data bytes
// describes it; `slack` is how far the index size may exceed the chunk's own (zoduviv's
// idx1 holds the size padded to 4).
AviFrame frame_at(FileWindow& file, const StreamIds& ids, uint64_t chunk_pos, uint32_t size,
                  uint32_t slack, uint32_t flags) {
  ChunkHead head;
  if (!file.contains(chunk_pos, 8)) return damaged(kOutsideFile);
  if (!read_head(file, chunk_pos, head)) return damaged(kOutsideFile);
  if (!ids.matches(head.id) || head.size > size || size - head.size > slack)
    return damaged(kHeaderMismatch);
  if (!file.contains(chunk_pos + 8, head.size)) return damaged(kEndsInside);
  AviFrame f;
  f.offset = chunk_pos + 8;
  f.size = head.size;
  f.flags = flags;
  return f;
}

// The OpenDML super index and its standard indexes. False when it cannot be used as a
// whole; frames may then hold part of a table, which the caller discards.
[[nodiscard]] bool read_super_index(FileWindow& file, const VideoStream& v, const StreamIds& ids,
                                    FrameTable& table) {
  ByteReader s(v.indx.data(), v.indx.size());
  const uint16_t longs = s.le16(0);
  const uint8_t sub_type = s.u8(2);
  const uint8_t type = s.u8(3);
  const uint32_t entries = s.le32(4);
  if (!s.ok() || longs != 4 || sub_type != 0 || type != 0 || entries == 0) return false;
  if (entries > (v.indx.size() - 24) / 16) return false;
  std::vector<uint8_t> block(kIndexBlockEntries * 8);
  for (uint32_t e = 0; e < entries; ++e) {
    const uint64_t ix_pos = s.le64(24 + static_cast<size_t>(e) * 16);
    uint8_t hb[32];
    if (!file.read(ix_pos, hb, sizeof hb)) return false;
    ByteReader h(hb, sizeof hb);
    const uint32_t ix_size = h.le32(4);
    const uint32_t n = h.le32(12);
    const uint64_t base = h.le64(20);
    // "ix" and the two digits of the stream (zoduviv: "ix00").
    if ((h.le32(0) & 0xffff) != fourcc("ix\0\0") || ix_size < 24 || h.le16(8) != 2 ||
        h.u8(10) != 0 || h.u8(11) != 1 || !ids.matches(h.le32(16)))
      return false;
    if (!file.contains(ix_pos + 8, ix_size) || n > (ix_size - 24) / 8) return false;
    table.reserve(n);
    for (uint32_t done = 0; done < n;) {
      const size_t count = std::min<size_t>(kIndexBlockEntries, n - done);
      if (!file.read(ix_pos + 32 + static_cast<uint64_t>(done) * 8, block.data(), count * 8))
        return false;
      ByteReader b(block.data(), count * 8);
      for (size_t i = 0; i < count; ++i) {
        const uint32_t off = b.le32(i * 8);
        const uint32_t raw = b.le32(i * 8 + 4);
        const uint32_t size = raw & 0x7fffffffu;
        const uint32_t flags = (raw & 0x80000000u) ? 0 : kKeyFrameFlag;
        AviFrame f;
        if (!file.contains(base, off) || base + off < 8) {
          f = damaged(kOutsideFile);
        } else {
          f = frame_at(file, ids, base + off - 8, size, 0, flags);
        }
        if (!table.add(f)) return false;
      }
      done += static_cast<uint32_t>(count);
    }
  }
  return true;
}

// "idx1": offsets count from the list type "movi" or from the start of the file; the
// first entries of the video stream decide which. False when neither fits any of them.
[[nodiscard]] bool read_idx1(FileWindow& file, const Layout& layout, const StreamIds& ids,
                             FrameTable& table) {
  const uint64_t entries = layout.idx1_bytes / 16;
  std::vector<uint8_t> block(kIndexBlockEntries * 16);
  const uint64_t movi_base = layout.movi.front().type_pos;

  size_t relative = 0;
  size_t absolute = 0;
  size_t probed = 0;
  for (uint64_t done = 0; done < entries && probed < kProbeEntries;) {
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>(kIndexBlockEntries, entries - done));
    if (!file.read(layout.idx1_data + done * 16, block.data(), count * 16)) return false;
    ByteReader b(block.data(), count * 16);
    for (size_t i = 0; i < count && probed < kProbeEntries; ++i) {
      const uint32_t id = b.le32(i * 16);
      if (!ids.matches(id)) continue;
      ++probed;
      const uint32_t off = b.le32(i * 16 + 8);
      ChunkHead head;
      if (read_head(file, movi_base + off, head) && head.id == id) ++relative;
      if (read_head(file, off, head) && head.id == id) ++absolute;
    }
    done += count;
  }
  if (probed == 0) return false;  // nothing of the video stream: the walk decides
  if (relative == 0 && absolute == 0) return false;
  const uint64_t base = relative >= absolute ? movi_base : 0;

  table.reserve(entries);
  for (uint64_t done = 0; done < entries;) {
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>(kIndexBlockEntries, entries - done));
    if (!file.read(layout.idx1_data + done * 16, block.data(), count * 16)) return false;
    ByteReader b(block.data(), count * 16);
    for (size_t i = 0; i < count; ++i) {
      if (!ids.matches(b.le32(i * 16))) continue;
      const uint32_t flags = b.le32(i * 16 + 4);
      const uint32_t off = b.le32(i * 16 + 8);
      const uint32_t size = b.le32(i * 16 + 12);
      if (!table.add(frame_at(file, ids, base + off, size, 3, flags))) return false;
    }
    done += count;
  }
  return true;
}

// Walks the chunks of every 'movi' list, entering 'rec ' lists. Stops at the first frame
// chunk that does not fit, since nothing after it can be located.
void walk_movi(FileWindow& file, const Layout& layout, const StreamIds& ids, FrameTable& table,
               bool& stopped) {
  stopped = false;
  uint8_t pad[4];
  for (const MoviList& m : layout.movi) {
    uint64_t pos = m.begin;
    const uint64_t end = m.end;
    ChunkHead head;
    while (pos < end) {
      if (end - pos < 8 || !read_head(file, pos, head)) {
        // Fewer than 8 bytes left: a filler at the end of the list, unless the file ends
        // here, inside the next chunk's head.
        if (m.cut) {
          stopped = true;
          (void)table.add(damaged(kEndsInside));
          return;
        }
        break;
      }
      const uint64_t data = pos + 8;
      if (head.id == kList && head.size >= 4 && head.type == kRec) {
        pos = data + 4;  // the chunks of a 'rec ' list are walked as if in 'movi'
        continue;
      }
      const bool fits = head.size <= end - data;
      if (ids.matches(head.id)) {
        if (!fits) {
          stopped = true;
          (void)table.add(damaged(m.cut ? kEndsInside : kPastList));
          return;
        }
        AviFrame f;
        f.offset = data;
        f.size = head.size;
        f.flags = kKeyFrameFlag;
        if (!table.add(f)) {
          stopped = true;
          return;
        }
      } else if (!fits) {
        break;
      }
      const uint64_t even = data + head.size + (head.size & 1);
      const uint64_t four = data + ((static_cast<uint64_t>(head.size) + 3) & ~uint64_t{3});
      pos = even;
      if (four != even && four <= end && file.read(even, pad, static_cast<size_t>(four - even))) {
        bool zero = true;
        for (uint64_t i = 0; i < four - even; ++i) zero = zero && pad[i] == 0;
        if (zero) pos = four;
      }
    }
  }
}

// The chunks of one stream, from its super index, else idx1 (a single 'movi' list), else
// a walk of the 'movi' lists; stopped when the walk met a chunk that does not fit. False
// when the walk finds more chunks than the file can hold.
[[nodiscard]] bool find_chunks(FileWindow& file, const Layout& layout, const VideoStream& stream,
                               uint64_t& budget, std::vector<AviFrame>& chunks, bool& stopped) {
  const StreamIds ids = stream_ids(stream);
  FrameTable table(chunks, budget);
  stopped = false;
  bool found = false;
  if (!stream.indx.empty()) {
    found = read_super_index(file, stream, ids, table);
    if (!found) table.clear();
  }
  if (!found && layout.have_idx1 && layout.movi.size() == 1) {
    found = read_idx1(file, layout, ids, table);
    if (!found) table.clear();
  }
  if (!found) walk_movi(file, layout, ids, table, stopped);
  budget -= std::min<uint64_t>(budget, chunks.size());
  return found || !table.full();
}

// The first RIFF list's head, checked to be 'AVI '.
[[nodiscard]] bool read_riff_head(FileWindow& file, ChunkHead& riff, std::string& error) {
  if (!read_head(file, 0, riff) || riff.id != kRiff || riff.type != kAvi) {
    error = "it is not an AVI file (no RIFF 'AVI ' header)";
    return false;
  }
  return true;
}

// Reads and parses the header list that scan_riff_body found, and copies what it says
// of the video stream into info.
[[nodiscard]] bool read_header_list(FileWindow& file, const Layout& layout, VideoStream& video,
                                    std::vector<VideoStream>& audio, AviInfo& info,
                                    std::string& error) {
  if (!layout.have_hdrl) {
    error = "it has no header list ('hdrl')";
    return false;
  }
  if (layout.hdrl_cut) {
    error = "its header list ('hdrl') is cut short";
    return false;
  }
  if (layout.hdrl_bytes > kMaxHeaderListBytes) {
    error = "its header list ('hdrl') is implausibly large";
    return false;
  }
  std::vector<uint8_t> hdrl(layout.hdrl_bytes);
  if (!file.read(layout.hdrl_data, hdrl.data(), hdrl.size())) {
    error = "its header list ('hdrl') cannot be read";
    return false;
  }
  if (!parse_hdrl(hdrl, video, audio, error) || !check_format(video, error)) return false;
  info.width = video.width;
  info.height = video.height;
  info.bit_count = video.bit_count;
  info.compression = video.compression;
  info.rate = video.rate;
  info.scale = video.scale;
  info.length = video.length;
  return true;
}

// The first RIFF list and the 'AVIX' lists that follow it, as far as they go.
void scan_riff_lists(FileWindow& file, const ChunkHead& riff, Layout& layout) {
  const uint64_t file_size = file.size();
  const uint64_t riff_end = 8 + static_cast<uint64_t>(riff.size);
  layout.riff_cut = riff_end > file_size;
  scan_riff_body(file, 12, std::min(riff_end, file_size), true, layout);

  // OpenDML: 'AVIX' RIFF lists follow the first one; anything else ends the file's data.
  uint64_t pos = riff_end + (riff.size & 1);
  for (int n = 0; n < kMaxRiffLists && pos < file_size && file_size - pos >= 12; ++n) {
    ChunkHead next;
    if (!read_head(file, pos, next) || next.id != kRiff || next.type != kAvix) break;
    const uint64_t end = pos + 8 + next.size;
    layout.riff_cut = layout.riff_cut || end > file_size;
    scan_riff_body(file, pos + 12, std::min(end, file_size), false, layout);
    pos = end + (next.size & 1);
  }
}

// The chunks of every sound stream, each with a damaged entry for missing blocks.
[[nodiscard]] bool find_sound(FileWindow& file, const Layout& layout,
                              const std::vector<VideoStream>& audio, bool cut, uint64_t& budget,
                              AviInfo& info, std::string& error) {
  for (const VideoStream& a : audio) {
    AviAudio sound;
    sound.stream = a.number;
    sound.format = a.audio;
    sound.extensible = a.extensible;
    sound.length = a.length;
    bool stopped = false;
    if (!find_chunks(file, layout, a, budget, sound.chunks, stopped)) {
      error = "it holds more sound chunks than a file of its size can";
      return false;
    }
    uint64_t blocks = 0;
    for (const AviFrame& c : sound.chunks)
      if (c.damage == nullptr && a.audio.block_align != 0) blocks += c.size / a.audio.block_align;
    // dwLength counts blocks where a tick is one block, as a sound stream declares it.
    if (!stopped && a.scale == a.audio.block_align && blocks < sound.length)
      sound.chunks.push_back(damaged(cut ? kEndsBefore : kNotFound));
    info.audio.push_back(std::move(sound));
  }
  return true;
}

}  // namespace

bool read_avi_headers(uint64_t file_size, const ReadAt& read_at, AviInfo& info,
                      std::string& error) {
  info = AviInfo();
  error.clear();
  FileWindow file(read_at, file_size);
  ChunkHead riff;
  if (!read_riff_head(file, riff, error)) return false;
  Layout layout;
  scan_riff_body(file, 12, std::min(8 + static_cast<uint64_t>(riff.size), file_size), true, layout);
  VideoStream video;
  std::vector<VideoStream> audio;
  return read_header_list(file, layout, video, audio, info, error);
}

bool read_avi(uint64_t file_size, const ReadAt& read_at, AviInfo& info, std::string& error) {
  info = AviInfo();
  error.clear();
  FileWindow file(read_at, file_size);
  ChunkHead riff;
  if (!read_riff_head(file, riff, error)) return false;
  Layout layout;
  scan_riff_lists(file, riff, layout);
  VideoStream video;
  std::vector<VideoStream> audio;
  if (!read_header_list(file, layout, video, audio, info, error)) return false;
  if (layout.movi.empty()) {
    error = "it has no 'movi' list";
    return false;
  }

  bool cut = layout.riff_cut;
  for (const MoviList& m : layout.movi) cut = cut || m.cut;
  bool stopped = false;
  // Every chunk of every stream takes at least 8 bytes of the file, so no real file comes
  // near this budget for all streams together; an index that names the same chunks over
  // and over cannot size the tables beyond the file.
  uint64_t budget = file_size / 8 + 16;
  if (!find_chunks(file, layout, video, budget, info.frames, stopped)) {
    error = "it holds more frame chunks than a file of its size can";
    return false;
  }
  if (!stopped && info.frames.size() < info.length)
    info.frames.push_back(damaged(cut ? kEndsBefore : kNotFound));
  return find_sound(file, layout, audio, cut, budget, info, error);
}
