// read_avi on files that AviWriter writes (plain and OpenDML), on RIFF files built here
// by hand the way other writers lay them out, and on damaged and hostile files.
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "avi/avi.h"
#include "tests/support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A little RIFF builder: chunks and lists with sizes patched when they are closed.
class Riff {
 public:
  Bytes b;

  void u8(uint8_t v) { b.push_back(v); }
  void le16(uint32_t v) {
    u8(uint8_t(v));
    u8(uint8_t(v >> 8));
  }
  void le32(uint32_t v) {
    le16(v & 0xffff);
    le16(v >> 16);
  }
  void le64(uint64_t v) {
    le32(uint32_t(v));
    le32(uint32_t(v >> 32));
  }
  void fourcc(const char* s) { b.insert(b.end(), s, s + 4); }
  void bytes(const Bytes& d) { b.insert(b.end(), d.begin(), d.end()); }

  size_t open(const char* id) {
    const size_t pos = b.size();
    fourcc(id);
    le32(0);
    return pos;
  }
  size_t open_list(const char* id, const char* type) {
    const size_t pos = open(id);
    fourcc(type);
    return pos;
  }
  // Patches the size; pad_to is 2 for RIFF padding, 4 for zoduviv's, 1 for none.
  void close(size_t pos, size_t pad_to = 2) {
    const uint32_t size = uint32_t(b.size() - pos - 8);
    put32(pos + 4, size);
    while (b.size() % pad_to != pos % pad_to) u8(0);
  }
  void put32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  }
};

enum class Idx1 { kNone, kRelative, kAbsolute };

struct FileRecipe {
  int width = 4;
  int height = 2;
  int bit_count = 24;
  const char* compression = "VIZU";  // nullptr: 0 (DIB)
  const char* stream_type = "vids";
  uint32_t rate = 30;
  uint32_t scale = 1;
  int64_t length = -1;  // strh dwLength; -1: the number of frames
  std::vector<Bytes> frames;
  Idx1 idx1 = Idx1::kRelative;
  size_t pad_to = 2;
  bool junk_in_movi = false;
  bool rec_lists = false;
  bool audio_stream_first = false;  // an 'auds' stream 00 before the video (then 01)
};

// Offsets of the frames' data in the built file.
struct Built {
  Bytes file;
  std::vector<uint64_t> offsets;
};

Built build(const FileRecipe& s) {
  Riff r;
  const size_t riff = r.open_list("RIFF", "AVI ");
  const size_t hdrl = r.open_list("LIST", "hdrl");
  const size_t avih = r.open("avih");
  for (int i = 0; i < 14; ++i) r.le32(i == 6 ? (s.audio_stream_first ? 2 : 1) : 0);
  r.close(avih);
  if (s.audio_stream_first) {
    const size_t strl = r.open_list("LIST", "strl");
    const size_t strh = r.open("strh");
    r.fourcc("auds");
    for (int i = 0; i < 13; ++i) r.le32(0);
    r.close(strh);
    const size_t strf = r.open("strf");
    for (int i = 0; i < 18; ++i) r.u8(0);
    r.close(strf);
    r.close(strl);
  }
  const size_t strl = r.open_list("LIST", "strl");
  const size_t strh = r.open("strh");
  r.fourcc(s.stream_type);
  r.fourcc("vizu");
  r.le32(0);                              // dwFlags
  r.le32(0);                              // wPriority, wLanguage
  r.le32(0);                              // dwInitialFrames
  r.le32(s.scale);
  r.le32(s.rate);
  r.le32(0);                              // dwStart
  r.le32(uint32_t(s.length < 0 ? s.frames.size() : uint64_t(s.length)));
  for (int i = 0; i < 5; ++i) r.le32(0);
  r.close(strh);
  const size_t strf = r.open("strf");
  r.le32(40);
  r.le32(uint32_t(s.width));
  r.le32(uint32_t(s.height));
  r.le16(1);
  r.le16(uint32_t(s.bit_count));
  if (s.compression) r.fourcc(s.compression); else r.le32(0);
  for (int i = 0; i < 5; ++i) r.le32(0);
  r.close(strf);
  r.close(strl);
  r.close(hdrl);

  const char* id = s.audio_stream_first ? "01dc" : "00dc";
  Built out;
  const size_t movi = r.open_list("LIST", "movi");
  struct Entry { uint32_t pos, size; };
  std::vector<Entry> entries;
  size_t rec = 0;
  for (size_t i = 0; i < s.frames.size(); ++i) {
    if (s.rec_lists) rec = r.open_list("LIST", "rec ");
    if (s.junk_in_movi && i % 2 == 1) {
      const size_t junk = r.open("JUNK");
      r.bytes(Bytes(3, 0xAA));
      r.close(junk);
    }
    const size_t chunk = r.open(id);
    out.offsets.push_back(chunk + 8);
    r.bytes(s.frames[i]);
    r.close(chunk, s.pad_to);
    entries.push_back({uint32_t(chunk), uint32_t(s.frames[i].size())});
    if (s.rec_lists) r.close(rec);
  }
  r.close(movi);
  if (s.idx1 != Idx1::kNone) {
    const size_t idx1 = r.open("idx1");
    for (const Entry& e : entries) {
      r.fourcc(id);
      r.le32(0x10);
      r.le32(s.idx1 == Idx1::kRelative ? uint32_t(e.pos - (movi + 8)) : e.pos);
      r.le32(e.size);
    }
    r.close(idx1);
  }
  r.close(riff);
  out.file = r.b;
  return out;
}

struct ReadResult {
  bool ok = false;
  AviInfo info;
  std::string error;
};

ReadResult read(const Bytes& file) {
  std::istringstream in(std::string(file.begin(), file.end()));
  ReadResult res;
  res.ok = read_avi(in, file.size(), res.info, res.error);
  return res;
}

Bytes frame_bytes(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
  return b;
}

FileRecipe three_frames() {
  FileRecipe s;
  s.frames = {frame_bytes(10, 1), frame_bytes(5, 2), frame_bytes(24, 3)};
  return s;
}

// The frames as read must be the frames as built.
void expect_frames(const Built& built, const ReadResult& res, const FileRecipe& s) {
  ASSERT_TRUE(res.ok) << res.error;
  ASSERT_EQ(res.info.frames.size(), s.frames.size());
  for (size_t i = 0; i < s.frames.size(); ++i) {
    const AviFrame& f = res.info.frames[i];
    EXPECT_EQ(f.damage, nullptr) << "frame " << i << ": " << f.damage;
    EXPECT_EQ(f.offset, built.offsets[i]) << "frame " << i;
    EXPECT_EQ(f.size, s.frames[i].size()) << "frame " << i;
    EXPECT_EQ(f.flags, 0x10u) << "frame " << i;
  }
}

TEST(AviReader, HeaderFields) {
  FileRecipe s = three_frames();
  s.width = 7;
  s.height = 3;
  s.rate = 30000;
  s.scale = 1001;
  const ReadResult res = read(build(s).file);
  ASSERT_TRUE(res.ok) << res.error;
  EXPECT_EQ(res.info.width, 7);
  EXPECT_EQ(res.info.height, 3);
  EXPECT_EQ(res.info.bit_count, 24);
  EXPECT_EQ(res.info.compression, 0x555A4956u);  // "VIZU"
  EXPECT_EQ(res.info.rate, 30000u);
  EXPECT_EQ(res.info.scale, 1001u);
  EXPECT_EQ(res.info.length, 3u);
}

// Layouts other writers use: every frame is found at its offset with its size, whether
// idx1 is relative to 'movi', absolute or missing (then 'movi' is walked).
TEST(AviReader, Layouts) {
  const auto sized = [](std::initializer_list<size_t> sizes) {
    FileRecipe s;
    uint8_t seed = 1;
    for (size_t n : sizes) s.frames.push_back(frame_bytes(n, seed++));
    return s;
  };
  const std::vector<Idx1> all = {Idx1::kRelative, Idx1::kAbsolute, Idx1::kNone};
  struct Case {
    const char* name;
    FileRecipe recipe;
    std::vector<Idx1> modes;
  };
  std::vector<Case> cases;
  cases.push_back({"three frames", three_frames(), all});
  cases.push_back({"odd chunk sizes padded to even", sized({5, 1, 7, 6}), all});
  // zoduviv pads chunks to 4 bytes; without idx1 the walk must still find each chunk.
  FileRecipe four = sized({5, 6, 7, 2, 9});
  four.pad_to = 4;
  cases.push_back({"chunks padded to four", four, all});
  FileRecipe junk = three_frames();
  junk.junk_in_movi = true;
  junk.rec_lists = true;
  cases.push_back({"JUNK and 'rec ' lists in movi", junk, all});
  FileRecipe audio = three_frames();
  audio.audio_stream_first = true;
  cases.push_back({"video after another stream", audio, all});
  FileRecipe dib = sized({24});
  dib.compression = nullptr;
  cases.push_back({"DIB stream", dib, all});
  cases.push_back({"no frames", FileRecipe{}, all});
  for (Case& c : cases) {
    for (Idx1 mode : c.modes) {
      c.recipe.idx1 = mode;
      SCOPED_TRACE(std::string("case=") + c.name + " idx1=" + std::to_string(int(mode)));
      const Built b = build(c.recipe);
      const ReadResult res = read(b.file);
      expect_frames(b, res, c.recipe);
      EXPECT_EQ(res.info.compression, c.recipe.compression ? 0x555A4956u : 0u);
    }
  }
}

void expect_refused(const Bytes& file, const std::string& want) {
  const ReadResult res = read(file);
  EXPECT_FALSE(res.ok);
  EXPECT_NE(res.error.find(want), std::string::npos) << "have \"" << res.error << "\", want \"" << want << "\"";
}

TEST(AviReader, Refusals) {
  const auto with = [](void (*change)(FileRecipe&)) {
    FileRecipe s = three_frames();
    change(s);
    return build(s).file;
  };
  const Bytes good = build(three_frames()).file;
  Bytes not_riff = good;
  not_riff[0] = 'X';
  const struct {
    const char* name;
    Bytes file;
    const char* want;
  } cases[] = {
      {"empty", {}, "not an AVI file"},
      {"WAVE", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, "not an AVI file"},
      {"no RIFF", not_riff, "not an AVI file"},
      {"MJPG", with([](FileRecipe& s) { s.compression = "MJPG"; }), "'MJPG' is neither"},
      {"32 bits", with([](FileRecipe& s) { s.bit_count = 32; }), "32 bits per pixel"},
      {"audio only", with([](FileRecipe& s) { s.stream_type = "auds"; }), "no video stream"},
      {"top-down", with([](FileRecipe& s) { s.height = -2; }), "top-down"},
      {"zero width", with([](FileRecipe& s) { s.width = 0; }), "not valid"},
      // 16 M pixels: more than one channel stream can code.
      {"4096 x 4096", with([](FileRecipe& s) { s.width = s.height = 4096; }), "too large"},
      {"65536 x 65536 DIB",
       with([](FileRecipe& s) { s.width = s.height = 65536, s.compression = nullptr; }), "too large"},
      {"cut header list", Bytes(good.begin(), good.begin() + 60), "cut short"},
  };
  for (const auto& c : cases) {
    const ReadResult res = read(c.file);
    EXPECT_FALSE(res.ok) << "case=" << c.name;
    EXPECT_NE(res.error.find(c.want), std::string::npos)
        << "case=" << c.name << ": have \"" << res.error << "\", want \"" << c.want << "\"";
  }
}

TEST(AviReader, RefusesTwoVideoStreams) {
  Bytes b = build(three_frames()).file;
  // Duplicate the stream list inside hdrl and grow the sizes around it.
  const size_t strl = 12 + 12 + 8 + 56;
  ASSERT_EQ(std::string(b.begin() + long(strl + 8), b.begin() + long(strl + 12)), "strl");
  const uint32_t strl_size = testfiles::le32(b, strl + 4);
  Bytes copy(b.begin() + long(strl), b.begin() + long(strl + 8 + strl_size));
  b.insert(b.begin() + long(strl), copy.begin(), copy.end());
  Riff patch;
  patch.b = b;
  patch.put32(16, testfiles::le32(b, 16) + uint32_t(copy.size()));
  patch.put32(4, testfiles::le32(b, 4) + uint32_t(copy.size()));
  expect_refused(patch.b, "2 video streams");
}

TEST(AviReader, DamagedIndexEntryNamesThatFrameOnly) {
  FileRecipe s = three_frames();
  s.frames.push_back(frame_bytes(8, 9));
  Built b = build(s);
  const size_t idx1 = b.file.size() - 8 - 16 * 4 + 8;  // data of idx1
  ASSERT_EQ(std::string(b.file.begin() + long(idx1 - 8), b.file.begin() + long(idx1 - 4)), "idx1");
  Riff patch;
  patch.b = b.file;
  patch.put32(idx1 + 16 + 8, 0x7ffffff0);  // frame 1 points outside the file
  patch.put32(idx1 + 32 + 12, 3);          // frame 2's size disagrees with its chunk
  const ReadResult res = read(patch.b);
  ASSERT_TRUE(res.ok) << res.error;
  ASSERT_EQ(res.info.frames.size(), 4u);
  EXPECT_EQ(res.info.frames[0].damage, nullptr);
  EXPECT_STREQ(res.info.frames[1].damage, "its index entry points outside the file");
  EXPECT_STREQ(res.info.frames[2].damage, "its chunk header does not match the index");
  EXPECT_EQ(res.info.frames[3].damage, nullptr);
  EXPECT_EQ(res.info.frames[3].offset, b.offsets[3]);
}

TEST(AviReader, IndexMatchingNoChunkFallsBackToTheWalk) {
  const FileRecipe s = three_frames();
  Built b = build(s);
  const size_t idx1 = b.file.size() - 16 * 3;
  Riff patch;
  patch.b = b.file;
  for (int i = 0; i < 3; ++i) patch.put32(idx1 + 16 * i + 8, 0x10000 + i);
  expect_frames(b, read(patch.b), s);
}

TEST(AviReader, FewerFramesThanDeclared) {
  FileRecipe s = three_frames();
  s.length = 5;
  const ReadResult res = read(build(s).file);
  ASSERT_TRUE(res.ok) << res.error;
  ASSERT_EQ(res.info.frames.size(), 4u);
  EXPECT_STREQ(res.info.frames[3].damage, "no chunk of it was found");
  // A huge declared count still adds only the one entry.
  s.length = 0xffffffff;
  EXPECT_EQ(read(build(s).file).info.frames.size(), 4u);
}

TEST(AviReader, TruncatedFileNamesTheFrameWhereItEnds) {
  FileRecipe s;
  for (int i = 0; i < 6; ++i) s.frames.push_back(frame_bytes(20, uint8_t(i)));
  const Built b = build(s);
  // Cut inside frame 3's data: idx1 is gone, the walk finds frames 0..2 and the cut one.
  const Bytes cut(b.file.begin(), b.file.begin() + long(b.offsets[3] + 5));
  const ReadResult res = read(cut);
  ASSERT_TRUE(res.ok) << res.error;
  ASSERT_EQ(res.info.frames.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(res.info.frames[i].damage, nullptr);
  EXPECT_STREQ(res.info.frames[3].damage, "the file ends inside its chunk");
  // Cut right after frame 2's chunk: frame 3 is missing.
  const Bytes cut2(b.file.begin(), b.file.begin() + long(b.offsets[3] - 8));
  const ReadResult res2 = read(cut2);
  ASSERT_TRUE(res2.ok) << res2.error;
  ASSERT_EQ(res2.info.frames.size(), 4u);
  EXPECT_STREQ(res2.info.frames[3].damage, "the file ends before its chunk");
}

// Whatever the damage, no frame said to be whole lies outside the file.
void expect_sane(const Bytes& file, const std::string& what) {
  const ReadResult res = read(file);
  if (!res.ok) {
    EXPECT_FALSE(res.error.empty()) << what;
    return;
  }
  EXPECT_LE(res.info.frames.size(), file.size() / 16 + 17) << what;
  for (const AviFrame& f : res.info.frames) {
    if (f.damage != nullptr) continue;
    EXPECT_LE(f.offset, file.size()) << what;
    EXPECT_LE(f.size, file.size() - f.offset) << what;
  }
}

// One sweep over every position: the file cut there, each of three bits flipped there, and
// four extreme 32-bit values written there.
TEST(AviReader, CutsBitFlipsAndHugeFields) {
  FileRecipe s = three_frames();
  s.junk_in_movi = true;
  const Bytes b = build(s).file;
  for (size_t pos = 0; pos < b.size(); ++pos) {
    expect_sane(Bytes(b.begin(), b.begin() + long(pos)), "cut=" + std::to_string(pos));
    for (int bit = 0; bit < 8; bit += 3) {
      Bytes c = b;
      c[pos] ^= uint8_t(1 << bit);
      expect_sane(c, "pos=" + std::to_string(pos) + " bit=" + std::to_string(bit));
    }
    if (pos + 4 <= b.size()) {
      for (uint32_t v : {0xffffffffu, 0x80000000u, 0x7fffffffu, 0u}) {
        Riff c;
        c.b = b;
        c.put32(pos, v);
        expect_sane(c.b, "pos=" + std::to_string(pos) + " v=" + std::to_string(v));
      }
    }
  }
}

// --- Files from AviWriter ---------------------------------------------------------------

Bytes writer_frame(size_t n, uint32_t seed) {
  Bytes b(n + 3);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(rng());
  return b;
}

// Writes frames of the given sizes and returns the file; frames[i] keeps 3 slack bytes.
Bytes write_with_writer(const std::string& path, const std::vector<Bytes>& frames,
                        const std::vector<size_t>& sizes, uint64_t riff_limit, int compressed) {
  AviWriter w;
  w.riff_limit = riff_limit;
  EXPECT_EQ(w.init(path.c_str(), 16, 8, 600, 20, compressed), 1);
  for (size_t i = 0; i < frames.size(); ++i) {
    Bytes copy = frames[i];
    EXPECT_EQ(w.write_frame(copy.data(), int(sizes[i]), 0x10), FrameWrite::kWritten);
  }
  EXPECT_EQ(w.flush(), 1);
  return testfiles::read_file(path);
}

void expect_writer_frames(const Bytes& file, const std::vector<Bytes>& frames,
                          const std::vector<size_t>& sizes) {
  const ReadResult res = read(file);
  ASSERT_TRUE(res.ok) << res.error;
  EXPECT_EQ(res.info.width, 16);
  EXPECT_EQ(res.info.height, 8);
  EXPECT_EQ(res.info.rate, 600u);
  EXPECT_EQ(res.info.scale, 20u);
  EXPECT_EQ(res.info.length, frames.size());
  ASSERT_EQ(res.info.frames.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    const AviFrame& f = res.info.frames[i];
    ASSERT_EQ(f.damage, nullptr) << "frame " << i << ": " << f.damage;
    ASSERT_EQ(f.size, sizes[i]) << "frame " << i;
    ASSERT_LE(f.offset + f.size, file.size());
    EXPECT_TRUE(std::equal(frames[i].begin(), frames[i].begin() + long(sizes[i]), file.begin() + long(f.offset)))
        << "frame " << i;
  }
}

TEST(AviReaderOnWriterFiles, Plain) {
  testfiles::TempDir dir;
  std::vector<Bytes> frames;
  std::vector<size_t> sizes;
  for (size_t n : {100, 2, 101, 0, 5, 6, 7, 8, 384}) {
    frames.push_back(writer_frame(n, uint32_t(n)));
    sizes.push_back(n);
  }
  const Bytes file = write_with_writer(dir.file("p.avi"), frames, sizes, kDefaultRiffLimit, 1);
  expect_writer_frames(file, frames, sizes);
  // The same frames found by the walk when idx1 is unusable (its id overwritten).
  Bytes no_index = file;
  const size_t idx1 = 0x2004 + 4 + testfiles::le32(file, 0x2004);
  ASSERT_EQ(std::string(file.begin() + long(idx1), file.begin() + long(idx1 + 4)), "idx1");
  no_index[idx1] = 'X';
  expect_writer_frames(no_index, frames, sizes);
  // With idx1, a damaged chunk id is named as that frame's damage.
  Bytes bad_id = file;
  bad_id[0x200C + 8 + 100] = 'X';  // the second chunk's id
  const ReadResult res = read(bad_id);
  ASSERT_TRUE(res.ok) << res.error;
  ASSERT_EQ(res.info.frames.size(), frames.size());
  EXPECT_STREQ(res.info.frames[1].damage, "its chunk header does not match the index");
}

TEST(AviReaderOnWriterFiles, OpenDml) {
  testfiles::TempDir dir;
  std::vector<Bytes> frames;
  std::vector<size_t> sizes;
  for (int i = 0; i < 60; ++i) {
    const size_t n = 9000 + size_t(i) * 37;
    frames.push_back(writer_frame(n, uint32_t(i)));
    sizes.push_back(n);
  }
  const Bytes file = write_with_writer(dir.file("o.avi"), frames, sizes, 256 * 1024, 1);
  ASSERT_GT(file.size(), 512u * 1024);
  // More than one RIFF list: an 'AVIX' follows the first.
  const size_t second = 8 + testfiles::le32(file, 4);
  ASSERT_LT(second + 12, file.size());
  EXPECT_EQ(std::string(file.begin() + long(second + 8), file.begin() + long(second + 12)), "AVIX");
  expect_writer_frames(file, frames, sizes);

  // Without the super index (its id overwritten), the walk of every 'movi' list finds
  // the same frames.
  Bytes no_super = file;
  bool found = false;
  for (size_t i = 0; i + 4 < 0x2000; ++i) {
    if (std::memcmp(&no_super[i], "indx", 4) == 0) {
      no_super[i] = 'X';
      found = true;
      break;
    }
  }
  ASSERT_TRUE(found);
  expect_writer_frames(no_super, frames, sizes);

  // The frames come from the indexes: a damaged chunk id in a later RIFF list is named as
  // that frame's damage instead of being skipped by a walk.
  {
    const ReadResult good = read(file);
    ASSERT_TRUE(good.ok);
    Bytes bad_id = file;
    const uint64_t at = good.info.frames[45].offset - 8;
    ASSERT_GT(at, second);
    bad_id[at] = 'X';
    const ReadResult res = read(bad_id);
    ASSERT_TRUE(res.ok) << res.error;
    ASSERT_EQ(res.info.frames.size(), 60u);
    EXPECT_STREQ(res.info.frames[45].damage, "its chunk header does not match the index");
    EXPECT_EQ(res.info.frames[46].damage, nullptr);
  }

  // Truncated inside the last RIFF list: the frames before the cut are whole and the cut
  // frame is named.
  const ReadResult res = read(Bytes(file.begin(), file.end() - 30000));
  ASSERT_TRUE(res.ok) << res.error;
  ASSERT_FALSE(res.info.frames.empty());
  for (const AviFrame& f : res.info.frames) {
    if (f.damage == nullptr) {
      EXPECT_LE(f.offset + f.size, file.size() - 30000);
    }
  }
  EXPECT_NE(res.info.frames.back().damage, nullptr);
}

}  // namespace

// A still scene: thousands of 2-byte solid frames, every chunk 12 bytes long, found by the
// walk when idx1 is gone. All of them must be read; none may be dropped silently.
TEST(AviReaderOnWriterFiles, WalkFindsEveryTinyFrame) {
  testfiles::TempDir dir;
  const size_t count = 5000;
  const std::vector<Bytes> frames(count, Bytes{5, 0, 0, 0, 0});  // 3 bytes of pad room
  const std::vector<size_t> sizes(count, 2);
  Bytes file = write_with_writer(dir.file("still.avi"), frames, sizes, kDefaultRiffLimit, 1);
  // Cut at idx1, as a copy that stopped early leaves it: the frames are nearly the file.
  file.resize(0x2004 + 4 + testfiles::le32(file, 0x2004));
  const ReadResult res = read(file);
  ASSERT_TRUE(res.ok) << res.error;
  ASSERT_EQ(res.info.frames.size(), count);
  for (size_t i = 0; i < count; ++i) ASSERT_EQ(res.info.frames[i].damage, nullptr) << "frame " << i;
}
