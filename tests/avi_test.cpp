// AVI files: AviWriter's plain and OpenDML files (whole files by hash, every frame read
// back) and its write failures; read_avi on those files, on RIFF layouts other writers
// use, and on damaged and hostile files.
#include "avi/avi.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/test_files.h"

namespace {

using testbytes::Bytes;
using testbytes::ByteWriter;
using testbytes::le32;
using testbytes::put32;
using testfiles::read_file;
using testfiles::TempDir;

struct Params {
  int width = 320, height = 240, rate = 30, scale = 1, compressed = 1;
};

struct Frame {
  Bytes data;
  uint32_t flags = 16;
};

Frame MakeFrame(size_t size, uint32_t seed, uint32_t flags = 16) {
  std::mt19937 rng(seed);
  Frame f{Bytes(size), flags};
  for (auto& b : f.data) b = uint8_t(rng() | 1);  // no zero bytes, so pads stand out
  return f;
}

struct Written {
  std::vector<FrameWrite> frames;
  int flush = -1;
  std::string out;
  Bytes file;
};

// Writes frames through a writer, each from a buffer with 3 bytes of pad room (zeroed by
// the writer), and flushes it.
Written WriteAvi(const std::string& path, const std::vector<Frame>& frames, uint64_t riff_limit = kDefaultRiffLimit,
                 const Params& s = {}) {
  Written w;
  w.out = testbytes::captured_stdout([&] {
    AviWriter writer;
    writer.riff_limit = riff_limit;
    if (writer.init(path.c_str(), s.width, s.height, s.rate, s.scale, s.compressed) != 1) return;
    for (const Frame& f : frames) {
      Bytes buffer = testbytes::Cat(f.data, {0xAA, 0xAA, 0xAA});
      w.frames.push_back(writer.write_frame(buffer.data(), int(f.data.size()), int(f.flags)));
      if (w.frames.back() == FrameWrite::kWritten) { EXPECT_EQ(Bytes(buffer.end() - 3, buffer.end()), Bytes(3, 0)); }
    }
    w.flush = writer.flush();
  });
  w.file = read_file(path);
  return w;
}

// read_avi finds every frame with its data and flags (all key frames when walked).
void ExpectFrames(const Bytes& file, const std::vector<Frame>& frames, const std::string& what, bool indexed = true) {
  const testfiles::AviFile avi = testfiles::read_avi_bytes(file);
  ASSERT_TRUE(avi.ok) << what << ": " << avi.error;
  ASSERT_EQ(avi.frames.size(), frames.size()) << what;
  EXPECT_EQ(avi.info.length, frames.size()) << what;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(avi.frames[i], frames[i].data) << what << " frame " << i;
    ASSERT_EQ(avi.info.frames[i].flags, indexed ? frames[i].flags : 16) << what << " frame " << i;
  }
}

// The RIFF lists of a file, 'AVI ' then 'AVIX', none longer than the limit.
size_t RiffLists(const Bytes& file, uint64_t limit) {
  size_t lists = 0;
  for (uint64_t pos = 0; pos < file.size(); ++lists) {
    EXPECT_EQ(testbytes::fourcc(file, pos + 8), lists ? "AVIX" : "AVI ") << "list " << lists;
    const uint64_t size = 8 + uint64_t(le32(file, pos + 4));
    if (size > limit || size > file.size() - pos) return 0;
    pos += size;
  }
  return lists;
}

// Plain files by hash (files checked field by field against the header template when the
// hashes were taken): the geometry, frame rate and mode in the header image (the frame
// period from rate and scale, 0 where it does not fit), chunks padded to 4 bytes, idx1
// with the flags as given, the closing pad for every remainder modulo 1,024, more than 512
// index entries.
TEST(AviWriter, PlainFiles) {
  struct Case {
    Params s;
    std::vector<Frame> frames;
    uint32_t usec = 33333;  // the frame period in the header
  };
  std::vector<Case> cases = {{{}, {MakeFrame(100, 1), MakeFrame(2, 2), MakeFrame(101, 3)}},
                             {{320, 240, 30, 1, 0}, {MakeFrame(10, 1, 0), MakeFrame(20, 2), MakeFrame(30, 3, 0x7FFF)}},
                             {{1920, 1080, 30000, 1001, 0}, {}, 33366}, {{1, 1, 600, 20, 1}, {}},
                             {{17, 3, 25, 1, 0}, {}, 40000}};
  const long long periods[][3] = {{30, 0, 0},      {0, 1, 0},       {1, 2000, 2000000000}, {1, 4294, 4294000000},
                                  {1, 4295, 0},    {1, INT_MAX, 0}, {30, -1, 0},           {-30, 1, 0},
                                  {INT_MIN, 1, 0}, {INT_MAX, 1, 0}, {3, 2, 666666},        {1000000, 1, 1},
                                  {2000000, 1, 0}};
  for (const auto& p : periods) cases.push_back({{4, 2, int(p[0]), int(p[1]), 1}, {}, uint32_t(p[2])});
  for (size_t len = 0; len <= 8; ++len) cases.push_back({{}, {MakeFrame(len, uint32_t(len)), MakeFrame(4, 99)}});
  // With one frame of padded length p the index ends at 8240 + p: every remainder.
  for (size_t p = 0; p <= 1020; p += 4) cases.push_back({{}, {MakeFrame(p == 0 ? 0 : p - p / 4 % 4 % 3, uint32_t(p))}});
  cases.push_back({{4, 2, 30, 1, 1}, {}});
  for (uint32_t i = 0; i < 513; ++i) cases.back().frames.push_back(MakeFrame(i % 9, i, i % 3 ? 16 : 0));
  TempDir dir;
  uint64_t all = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Written w = WriteAvi(dir.file("p.avi"), c.frames, kDefaultRiffLimit, c.s);
    ASSERT_EQ(w.flush, 1) << "case " << i;
    EXPECT_EQ(w.out, "") << "case " << i;
    EXPECT_EQ(w.file.size() % 1024, 0u) << "case " << i;
    EXPECT_EQ(RiffLists(w.file, w.file.size()), 1u) << "case " << i;
    EXPECT_EQ(le32(w.file, 0x20), c.usec) << "rate=" << c.s.rate << " scale=" << c.s.scale;
    ExpectFrames(w.file, c.frames, "case " + std::to_string(i));
    all = all * 0x100000001b3ull + testbytes::Fnv(w.file);
    if (i > 0) continue;
    // The worked example: 9,216 bytes, idx1 at 8,436, max chunk 105.
    EXPECT_EQ(testbytes::Fnv(w.file), 0xf141c80020eb4519ull);
    for (auto [at, v] : {std::pair{0x04u, 9208u}, {0x2004u, 236u}, {0x90u, 105u}, {8468u, 112u}, {8488u, 104u}})
      EXPECT_EQ(le32(w.file, at), v) << "at " << at;
  }
  EXPECT_EQ(all, 0xd6910012bf40998aull) << "the files' hashes";
}

// In a child whose files may not grow past `limit` (a write beyond fails with EFBIG):
// init, `count` frames of side x side pixels, flush. What the writer printed and did.
std::string WriteWithLimit(rlim_t limit, const std::string& path, int side, int count) {
  const std::string log = path + ".log";
  std::fflush(stdout);
  if (fork() == 0) {
    if (!std::freopen(log.c_str(), "w", stdout)) _exit(1);
    signal(SIGXFSZ, SIG_IGN);
    rlimit r{limit, limit};
    setrlimit(RLIMIT_FSIZE, &r);
    AviWriter w;
    Bytes frame(size_t(side) * side * 3 + 3, 7);
    const int init = w.init(path.c_str(), side, side, 30, 1, 0);
    int written = 0, last = 0;
    while (init == 1 && written < count && (last = int(w.write_frame(frame.data(), side * side * 3, 16))) == 0)
      ++written;
    std::string what = init != 1 ? "" : written == count ? "; all written" : "; stopped: " + std::to_string(last);
    if (init == 1 && written < count)
      what += " " + std::to_string(int(w.write_frame(frame.data(), side * side * 3, 16)));
    std::printf("init %d%s; flush %d\n", init, what.c_str(), init == 1 ? w.flush() : -1);
    std::fflush(stdout);
    _exit(0);
  }
  wait(nullptr);
  const Bytes out = read_file(log);
  return std::string(out.begin(), out.end());
}

// A failed write is reported once, named, and never as success: during frames (that frame
// and every later one say kError), at flush (the index and pad pass the limit), at init;
// a missing folder; the file gone before the header is rewritten by name.
TEST(AviWriter, WriteFailures) {
  TempDir dir;
  const std::string p = dir.file("o.avi"), missing = dir.file("no/dir/o.avi"), gone = dir.file("gone.avi");
  const std::string write = "Unable to write output file " + p + "\n";
  EXPECT_EQ(WriteWithLimit(64 * 1024, p, 64, 100), write + "init 1; stopped: 2 2; flush 0\n");  // kError, kError
  EXPECT_EQ(WriteWithLimit(8800, p, 5, 1), write + "init 1; all written; flush 0\n");
  EXPECT_EQ(WriteWithLimit(4096, p, 5, 1), "Unable to open output file " + p + "\ninit 0; flush -1\n");
  EXPECT_EQ(WriteAvi(missing, {}).out, "Unable to open output file " + missing + "\n");
  AviWriter writer;
  uint8_t frame[8] = {1, 2, 3, 4};
  ASSERT_EQ(writer.init(gone.c_str(), 4, 2, 30, 1, 0), 1);
  ASSERT_EQ(writer.write_frame(frame, 4, 16), FrameWrite::kWritten);
  std::remove(gone.c_str());
  EXPECT_EQ(testbytes::captured_stdout([&] { EXPECT_EQ(writer.flush(), 0); }),
            "Unable to write output file " + gone + "\n");
}

// Files past the RIFF limit, by hash (files whose every list and index entry was checked
// when the hashes were taken); every frame read back, also by the walk of every 'movi'
// list when the super index is gone.
TEST(AviOpenDml, MultipleRiffLists) {
  const struct {
    uint64_t limit;
    size_t count, max_size;
    uint64_t fnv;
  } kCases[] = {{1 << 20, 120, 60000, 0xe583db97f52ad9a3},
                {300000, 300, 9000, 0xb8da265d5cb82d05}, {(1 << 20) + 2, 70, 65537, 0xa2ac59a435a2f317},
                {200000, 2000, 300, 0x23d1ffb331b1cb79},
                {64 * 1024, 100, 16000, 0xc303ff73beb33f63}};
  for (const auto& c : kCases) {
    std::mt19937 rng(uint32_t(c.limit + c.count));
    std::vector<Frame> frames;
    for (size_t i = 0; i < c.count; ++i) {
      const size_t size = rng() % (c.max_size + 1);
      const uint32_t seed = rng();
      frames.push_back(MakeFrame(size, seed, rng() % 4 ? 16 : 0));
    }
    TempDir dir;
    Written w = WriteAvi(dir.file("m.avi"), frames, c.limit);
    ASSERT_EQ(w.flush, 1);
    EXPECT_EQ(testbytes::Fnv(w.file), c.fnv) << "limit=" << c.limit;
    EXPECT_GE(RiffLists(w.file, c.limit), 2u) << "limit=" << c.limit;
    ExpectFrames(w.file, frames, "limit=" + std::to_string(c.limit));
    // The last frame's chunk id damaged (the frames come from the last list's index), and
    // the file cut inside its chunk: that frame is named, the ones before are whole.
    const testfiles::AviFile good = testfiles::read_avi_bytes(w.file);
    Bytes bad = w.file, cut(w.file.begin(), w.file.begin() + long(good.info.frames.back().offset + 1));
    bad[good.info.frames.back().offset - 8] = 'X';
    for (const Bytes& damaged : {bad, cut}) {
      const testfiles::AviFile avi = testfiles::read_avi_bytes(damaged);
      ASSERT_TRUE(avi.ok && avi.frames.size() == c.count) << avi.error;
      EXPECT_TRUE(avi.info.frames.back().damage && avi.frames[c.count - 2] == frames[c.count - 2].data);
    }
    ASSERT_EQ(testbytes::fourcc(w.file, 0xD4), "indx");  // without the super index: the walk
    w.file[0xD4] = 'X';
    ExpectFrames(w.file, frames, "no super index, limit=" + std::to_string(c.limit), false);
  }
}

// Where the first list ends, as the writer decides: both the plain ending and the OpenDML
// ending of the frames so far must fit. At that limit the file is the plain file; one byte
// less and the last frame goes to an 'AVIX' list. A frame too large for any list is
// refused with a message, and the frames before it make the plain file.
TEST(AviOpenDml, WhereTheFirstListEnds) {
  const std::vector<std::vector<size_t>> sets = {
      {100, 2, 101}, {5000, 5000, 5000, 17}, {0},         {300000, 1, 2, 3, 4, 5, 6, 7, 8},
      {1000, 1000},  {20, 20, 20, 20, 996},  {4000, 4000}};
  int switched = 0;
  TempDir dir;
  for (const auto& sizes : sets) {
    std::vector<Frame> frames;
    uint64_t e = 8204, need = 0, need_before = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
      frames.push_back(MakeFrame(sizes[i], uint32_t(i)));
      e += 8 + (sizes[i] + 3) / 4 * 4;
      need_before = need;
      need = std::max((e + 8 + 16 * (i + 1) + 4 + 1024) / 1024 * 1024, e + 32 + 8 * (i + 1) + 8 + 16 * (i + 1));
    }
    const Bytes plain = WriteAvi(dir.file("plain.avi"), frames).file;
    EXPECT_EQ(WriteAvi(dir.file("fit.avi"), frames, need).file, plain) << "need=" << need;
    if (frames.size() < 2 || need_before > need - 1) continue;
    ++switched;
    const Written over = WriteAvi(dir.file("over.avi"), frames, need - 1);
    EXPECT_EQ(RiffLists(over.file, need - 1), 2u) << "need=" << need;
    EXPECT_EQ(le32(over.file, 0x30), frames.size() - 1) << "avih dwTotalFrames: the first list's frames";
    ExpectFrames(over.file, frames, "need=" + std::to_string(need));
  }
  EXPECT_GE(switched, 2);
  for (const auto& [sizes, limit] : std::vector<std::pair<std::vector<size_t>, uint64_t>>{
           {{1000, 2000, 300000}, 256 * 1024}, {{20000}, 16 * 1024}}) {
    std::vector<Frame> frames;
    for (size_t size : sizes) frames.push_back(MakeFrame(size, uint32_t(frames.size() + 1)));
    const Written w = WriteAvi(dir.file("huge.avi"), frames, limit);
    EXPECT_EQ(w.frames.back(), FrameWrite::kFull);
    EXPECT_EQ(w.out, "Frame " + std::to_string(sizes.size()) + " (" + std::to_string(sizes.back()) +
                         " bytes) is too large for a RIFF list of the AVI file " + dir.file("huge.avi") + "\n");
    frames.pop_back();
    EXPECT_EQ(w.file, WriteAvi(dir.file("plain.avi"), frames).file);
  }
}

// 16 KiB lists of 4,000-byte frames: two in the first, four in each 'AVIX', so the 256th
// list is full after 2 + 255 x 4 = 1,022 frames.
TEST(AviOpenDml, SuperIndexFullAt256Lists) {
  std::vector<Frame> frames;
  for (uint32_t i = 0; i < 1024; ++i) frames.push_back(MakeFrame(4000, i, i % 2 ? 16 : 0));
  TempDir dir;
  const Written w = WriteAvi(dir.file("cap.avi"), frames, 16 * 1024);
  std::vector<FrameWrite> want(1024, FrameWrite::kWritten);
  want[1022] = want[1023] = FrameWrite::kFull;
  EXPECT_EQ(w.frames, want);
  EXPECT_EQ(w.out,
            "The AVI file " + dir.file("cap.avi") + " cannot hold more frames: its index is full at 1022 frames\n");
  EXPECT_EQ(RiffLists(w.file, 16 * 1024), 256u);
  frames.resize(1022);
  ExpectFrames(w.file, frames, "256 lists");
}

// --- read_avi on files built here the way other writers lay them out ----------------------

enum class Idx1 { kNone, kRelative, kAbsolute };

struct FileRecipe {
  int width = 7, height = 3, bit_count = 24;
  const char* compression = "VIZU";  // nullptr: 0 (DIB)
  const char* stream_type = "vids";
  uint32_t rate = 30000, scale = 1001;
  int64_t length = -1;  // strh dwLength; -1: the number of frames
  std::vector<Bytes> frames = {Bytes(10, 1), Bytes(5, 2), Bytes(24, 3)};
  Idx1 idx1 = Idx1::kRelative;
  size_t pad_to = 2;
  bool junk_in_movi = false, rec_lists = false, audio_stream_first = false, two_video_streams = false;
  bool odml_list_first = false;
};

struct Built {
  Bytes file;
  std::vector<uint64_t> offsets;  // of the frames' data
};

Built Build(const FileRecipe& s) {
  ByteWriter r(false);
  const size_t riff = r.open("RIFF", "AVI "), hdrl = r.open("LIST", "hdrl"), avih = r.open("avih");
  r.zeros(24).u32(s.audio_stream_first ? 2 : 1).zeros(28).close(avih);
  if (s.odml_list_first) {
    const size_t odml = r.open("LIST", "odml"), dmlh = r.open("dmlh");
    r.u32(s.frames.size()).close(dmlh);
    r.close(odml);
  }
  if (s.audio_stream_first) {
    const size_t strl = r.open("LIST", "strl"), strh = r.open("strh");
    r.cc("auds").zeros(52).close(strh);
    const size_t strf = r.open("strf");
    r.zeros(18).close(strf);
    r.close(strl);
  }
  for (int k = s.two_video_streams ? 2 : 1; k > 0; --k) {
    const size_t strl = r.open("LIST", "strl"), strh = r.open("strh");
    r.cc(s.stream_type).cc("vizu").zeros(12).u32(s.scale).u32(s.rate).u32(0);
    r.u32(s.length < 0 ? s.frames.size() : uint64_t(s.length)).zeros(20).close(strh);
    const size_t strf = r.open("strf");
    r.u32(40).u32(uint32_t(s.width)).u32(uint32_t(s.height)).u16(1).u16(uint32_t(s.bit_count));
    (s.compression ? r.cc(s.compression) : r.u32(0)).zeros(20).close(strf);
    r.close(strl);
  }
  r.close(hdrl);
  const char* id = s.audio_stream_first ? "01dc" : "00dc";
  Built out;
  const size_t movi = r.open("LIST", "movi");
  ByteWriter idx1(false);
  for (size_t i = 0; i < s.frames.size(); ++i) {
    const size_t rec = s.rec_lists ? r.open("LIST", "rec ") : 0;
    if (s.junk_in_movi && i % 2 == 1) {
      const size_t junk = r.open("JUNK");
      r.bytes(Bytes(3, 0xAA)).close(junk, 2);
    }
    const size_t chunk = r.open(id);
    out.offsets.push_back(chunk + 8);
    r.bytes(s.frames[i]).close(chunk, s.pad_to);
    idx1.cc(id).u32(0x10).u32(s.idx1 == Idx1::kRelative ? chunk - (movi + 8) : chunk).u32(s.frames[i].size());
    if (s.rec_lists) r.close(rec);
  }
  r.close(movi);
  if (s.idx1 != Idx1::kNone) r.cc("idx1").u32(idx1.b.size()).bytes(idx1.b);
  r.close(riff);
  out.file = r.b;
  return out;
}

// Every frame is found at its offset with its size, whether idx1 is relative to 'movi',
// absolute or missing (then 'movi' is walked), and the header fields are read.
TEST(AviReader, LayoutsOfOtherWriters) {
  using Change = void (*)(FileRecipe&);
  const Change kChanges[] = {
      [](FileRecipe&) {},
      [](FileRecipe& s) { s.frames = {Bytes(5, 1), Bytes(1, 2), Bytes(7, 3), Bytes(6, 4)}; },  // padded to even
      [](FileRecipe& s) { s.frames = {Bytes(5, 1), Bytes(1, 2), Bytes(7, 3)}, s.pad_to = 4; },  // as zoduviv pads
      [](FileRecipe& s) { s.junk_in_movi = s.rec_lists = true; },
      [](FileRecipe& s) { s.audio_stream_first = true; },  // the video is stream 01
      [](FileRecipe& s) { s.odml_list_first = true; },     // a LIST other than 'strl' in 'hdrl'
      [](FileRecipe& s) { s.compression = nullptr; },      // DIB
      [](FileRecipe& s) { s.frames.clear(); }};
  for (size_t c = 0; c < std::size(kChanges); ++c)
    for (Idx1 mode : {Idx1::kRelative, Idx1::kAbsolute, Idx1::kNone}) {
      FileRecipe recipe;
      kChanges[c](recipe);
      recipe.idx1 = mode;
      const std::string what = "case " + std::to_string(c) + " idx1=" + std::to_string(int(mode));
      const Built b = Build(recipe);
      const testfiles::AviFile avi = testfiles::read_avi_bytes(b.file);
      ASSERT_TRUE(avi.ok) << what << ": " << avi.error;
      const AviInfo& i = avi.info;
      EXPECT_EQ(
          std::vector<uint64_t>(
              {uint64_t(i.width), uint64_t(i.height), uint64_t(i.bit_count), i.compression, i.rate, i.scale, i.length}),
          std::vector<uint64_t>({7, 3, 24, recipe.compression ? 0x555A4956u : 0u, 30000, 1001, recipe.frames.size()}))
          << what;
      ASSERT_EQ(avi.frames, recipe.frames) << what;
      for (size_t k = 0; k < recipe.frames.size(); ++k)
        EXPECT_TRUE(i.frames[k].offset == b.offsets[k] && i.frames[k].flags == 0x10u) << what << " frame " << k;
    }
}

TEST(AviReader, Refusals) {
  const auto with = [](void (*change)(FileRecipe&)) {
    FileRecipe s;
    change(s);
    return Build(s).file;
  };
  const Bytes good = Build({}).file;
  Bytes not_riff = good;
  not_riff[0] = 'X';
  const struct {
    Bytes file;
    const char* want;
  } kCases[] = {
      {{}, "not an AVI file"}, {{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, "not an AVI file"},
      {not_riff, "not an AVI file"}, {with([](FileRecipe& s) { s.compression = "MJPG"; }), "'MJPG' is neither"},
      {with([](FileRecipe& s) { s.bit_count = 32; }), "32 bits per pixel"},
      {with([](FileRecipe& s) { s.stream_type = "auds"; }), "no video stream"},
      {with([](FileRecipe& s) { s.two_video_streams = true; }), "2 video streams"},
      {with([](FileRecipe& s) { s.height = -2; }), "top-down"}, {with([](FileRecipe& s) { s.width = 0; }), "not valid"},
      {with([](FileRecipe& s) { s.width = s.height = 4096; }), "too large"},  // more than a stream codes
      {with([](FileRecipe& s) { s.width = s.height = 65536, s.compression = nullptr; }), "too large"},
      {Bytes(good.begin(), good.begin() + 60), "cut short"},
  };
  for (const auto& k : kCases) {
    const testfiles::AviFile avi = testfiles::read_avi_bytes(k.file);
    EXPECT_FALSE(avi.ok) << k.want;
    EXPECT_NE(avi.error.find(k.want), std::string::npos) << "have \"" << avi.error << "\", want \"" << k.want << "\"";
  }
}

// A damaged frame is named, with why, and the others are read.
TEST(AviReader, DamageIsNamedPerFrame) {
  const char* const kOutside = "its index entry points outside the file";
  const char* const kMismatch = "its chunk header does not match the index";
  const auto entry = [](Built& b, size_t frame, size_t field, uint32_t v) {  // an idx1 field
    put32(b.file, b.file.size() - 16 * b.offsets.size() + 16 * frame + 4 * field, v);
  };
  const std::vector<const char*> whole(6, nullptr),
      missing = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "no chunk of it was found"};
  const struct {
    const char* name;
    int64_t length;
    std::function<void(Built&)> damage;
    std::vector<const char*> want;
  } kCases[] = {
      {"an entry outside the file, another of the wrong size",
       -1,
       [&](Built& b) { entry(b, 1, 2, 0x7FFFFFF0), entry(b, 2, 3, 3); },
       {nullptr, kOutside, kMismatch, nullptr, nullptr, nullptr}},
      {"no entry matches a chunk: the walk", -1,
       [&](Built& b) {
         for (uint32_t i = 0; i < 6; ++i) entry(b, i, 2, 0x10000 + i);
       },
       whole},
      {"fewer frames than declared", 8, [](Built&) {}, missing},
      {"a huge declared count", 0xFFFFFFFF, [](Built&) {}, missing},
      {"cut inside frame 4",
       -1,
       [](Built& b) { b.file.resize(b.offsets[3] + 5); },
       {nullptr, nullptr, nullptr, "the file ends inside its chunk"}},
      {"cut before frame 4",
       -1,
       [](Built& b) { b.file.resize(b.offsets[3] - 8); },
       {nullptr, nullptr, nullptr, "the file ends before its chunk"}},
  };
  for (const auto& k : kCases) {
    FileRecipe s;
    s.length = k.length;
    s.frames.clear();
    for (uint8_t i = 0; i < 6; ++i) s.frames.push_back(Bytes(20, i));
    Built b = Build(s);
    k.damage(b);
    const testfiles::AviFile avi = testfiles::read_avi_bytes(b.file);
    ASSERT_TRUE(avi.ok) << k.name << ": " << avi.error;
    ASSERT_EQ(avi.info.frames.size(), k.want.size()) << k.name;
    for (size_t i = 0; i < k.want.size(); ++i) {
      const AviFrame& f = avi.info.frames[i];
      EXPECT_STREQ(f.damage, k.want[i]) << k.name << " frame " << i;
      if (!k.want[i]) { EXPECT_EQ(f.offset, b.offsets[i]) << k.name << " frame " << i; }
    }
  }
}

// One sweep over every position of a file: cut there, each of three bits flipped there,
// and four extreme 32-bit values written there. The file is refused with a message, or no
// frame said to be whole lies outside it.
TEST(AviReader, CutsBitFlipsAndHugeFields) {
  FileRecipe s;
  s.junk_in_movi = true;
  const Bytes b = Build(s).file;
  const auto expect_sane = [](const Bytes& file, const std::string& what) {
    const testfiles::AviFile avi = testfiles::read_avi_bytes(file);
    if (!avi.ok) {
      EXPECT_FALSE(avi.error.empty()) << what;
      return;
    }
    EXPECT_LE(avi.info.frames.size(), file.size() / 8 + 1) << what;
    for (const AviFrame& f : avi.info.frames) {
      if (!f.damage) { EXPECT_TRUE(f.offset <= file.size() && f.size <= file.size() - f.offset) << what; }
    }
  };
  for (size_t pos = 0; pos < b.size(); ++pos) {
    expect_sane(Bytes(b.begin(), b.begin() + long(pos)), "cut=" + std::to_string(pos));
    for (int bit = 0; bit < 8; bit += 3) {
      Bytes c = b;
      c[pos] ^= uint8_t(1 << bit);
      expect_sane(c, "pos=" + std::to_string(pos) + " bit=" + std::to_string(bit));
    }
    for (uint32_t v : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0u}) {
      Bytes c = b;
      if (pos + 4 <= c.size()) put32(c, pos, v);
      expect_sane(c, "pos=" + std::to_string(pos) + " v=" + std::to_string(v));
    }
  }
}

// A still scene: thousands of 2-byte solid frames, 12-byte chunks, found by the walk when
// idx1 is gone. None may be dropped silently.
TEST(AviReader, WalkFindsEveryTinyFrame) {
  TempDir dir;
  const std::vector<Frame> frames(5000, Frame{{5, 0}, 16});
  Bytes file = WriteAvi(dir.file("still.avi"), frames).file;
  file.resize(0x2008 + le32(file, 0x2004));  // cut at idx1, as a copy that stopped early
  ExpectFrames(file, frames, "still scene");
}

}  // namespace
