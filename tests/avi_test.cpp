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
using testbytes::le32;
using testbytes::put32;
using testfiles::read_avi_bytes;
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
Written WriteAvi(const std::string& path, const std::vector<Frame>& frames,
                 uint64_t riff_limit = kDefaultRiffLimit, const Params& s = {}) {
  Written w;
  w.out = testbytes::captured_stdout([&] {
    AviWriter writer;
    writer.riff_limit = riff_limit;
    if (writer.init(path.c_str(), s.width, s.height, s.rate, s.scale, s.compressed) != 1) return;
    for (const Frame& f : frames) {
      Bytes buffer = testbytes::Cat(f.data, {0xAA, 0xAA, 0xAA});
      w.frames.push_back(writer.write_frame(buffer.data(), int(f.data.size()), int(f.flags)));
      EXPECT_TRUE(w.frames.back() != FrameWrite::kWritten || Bytes(buffer.end() - 3, buffer.end()) == Bytes(3, 0));
    }
    w.flush = writer.flush();
  });
  w.file = testfiles::read_file(path);
  return w;
}

// read_avi finds every frame with its data and flags (all key frames when walked).
void ExpectFrames(const Bytes& file, const std::vector<Frame>& frames, const std::string& what,
                  bool indexed = true) {
  const testfiles::AviFile avi = read_avi_bytes(file);
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
  std::vector<Case> cases = {
      {{}, {MakeFrame(100, 1), MakeFrame(2, 2), MakeFrame(101, 3)}},
      {{320, 240, 30, 1, 0}, {MakeFrame(10, 1, 0), MakeFrame(20, 2), MakeFrame(30, 3, 0x7FFF)}},
      {{1920, 1080, 30000, 1001, 0}, {}, 33366}, {{1, 1, 600, 20, 1}, {}}, {{17, 3, 25, 1, 0}, {}, 40000}};
  const long long periods[][3] = {  // rate, scale, the frame period
      {30, 0, 0},    {0, 1, 0},       {1, 2000, 2000000000}, {1, 4294, 4294000000}, {1, 4295, 0},
      {1, INT_MAX, 0}, {30, -1, 0},   {-30, 1, 0},           {INT_MIN, 1, 0},       {INT_MAX, 1, 0},
      {3, 2, 666666}, {1000000, 1, 1}, {2000000, 1, 0}};
  for (const auto& p : periods) cases.push_back({{4, 2, int(p[0]), int(p[1]), 1}, {}, uint32_t(p[2])});
  for (size_t n = 0; n <= 8; ++n) cases.push_back({{}, {MakeFrame(n, uint32_t(n)), MakeFrame(4, 99)}});
  // With one frame of padded length p the index ends at 8240 + p: every remainder.
  for (size_t p = 0; p <= 1020; p += 4)
    cases.push_back({{}, {MakeFrame(p == 0 ? 0 : p - p / 4 % 4 % 3, uint32_t(p))}});
  cases.push_back({{4, 2, 30, 1, 1}, {}});
  for (uint32_t i = 0; i < 513; ++i) cases.back().frames.push_back(MakeFrame(i % 9, i, i % 3 ? 16 : 0));
  TempDir dir;
  uint64_t all = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string what = "case " + std::to_string(i);
    const Written w = WriteAvi(dir.file("p.avi"), c.frames, kDefaultRiffLimit, c.s);
    ASSERT_EQ(w.flush, 1) << what;
    EXPECT_EQ(w.out, "") << what;
    EXPECT_EQ(w.file.size() % 1024, 0u) << what;
    EXPECT_EQ(RiffLists(w.file, w.file.size()), 1u) << what;
    EXPECT_EQ(le32(w.file, 0x20), c.usec) << "rate=" << c.s.rate << " scale=" << c.s.scale;
    ExpectFrames(w.file, c.frames, what);
    all = all * 0x100000001b3ull + testbytes::Fnv(w.file);
    if (i > 0) continue;  // the worked example: 9,216 bytes, idx1 at 8,436, max chunk 105
    EXPECT_EQ(testbytes::Fnv(w.file), 0xf141c80020eb4519ull);
    for (auto [at, v] : {std::pair{4u, 9208u}, {0x2004u, 236u}, {0x90u, 105u}, {8468u, 112u}, {8488u, 104u}})
      EXPECT_EQ(le32(w.file, at), v) << "at " << at;
  }
  EXPECT_EQ(all, 0xd6910012bf40998aull) << "the files' hashes";
}

// In a child whose files may not grow past `limit` (a write beyond fails with EFBIG):
// init, `count` frames of side x side pixels, flush. What the writer printed, and what
// init, each frame (a FrameWrite digit) and flush returned.
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
    std::string frames;
    for (int i = 0; init == 1 && i < count; ++i)
      frames += char('0' + int(w.write_frame(frame.data(), side * side * 3, 16)));
    std::printf("init %d; frames %s; flush %d\n", init, frames.c_str(), init == 1 ? w.flush() : -1);
    std::fflush(stdout);
    _exit(0);
  }
  wait(nullptr);
  const Bytes out = testfiles::read_file(log);
  return std::string(out.begin(), out.end());
}

// A failed write is reported once, named, and never as success: during frames (that frame
// and every later one say kError), at flush (the index and pad pass the limit), at init;
// a missing folder; the file gone before the header is rewritten by name.
TEST(AviWriter, WriteFailures) {
  TempDir dir;
  const std::string p = dir.file("o.avi"), missing = dir.file("no/dir/o.avi"), gone = dir.file("gone.avi");
  const std::string write = "Unable to write output file " + p + "\n";
  // 8,204 bytes of header, then chunks of 12,296: the fifth passes 64 KiB.
  EXPECT_EQ(WriteWithLimit(64 * 1024, p, 64, 100),
            write + "init 1; frames " + std::string(4, '0') + std::string(96, '2') + "; flush 0\n");
  EXPECT_EQ(WriteWithLimit(8800, p, 5, 1), write + "init 1; frames 0; flush 0\n");
  EXPECT_EQ(WriteWithLimit(4096, p, 5, 1), "Unable to open output file " + p + "\ninit 0; frames ; flush -1\n");
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
  } kCases[] = {{1 << 20, 120, 60000, 0xe583db97f52ad9a3}, {300000, 300, 9000, 0xb8da265d5cb82d05},
                {(1 << 20) + 2, 70, 65537, 0xa2ac59a435a2f317}, {200000, 2000, 300, 0x23d1ffb331b1cb79},
                {64 * 1024, 100, 16000, 0xc303ff73beb33f63}};
  TempDir dir;
  for (const auto& c : kCases) {
    const std::string what = "limit=" + std::to_string(c.limit);
    std::mt19937 rng(uint32_t(c.limit + c.count));
    std::vector<Frame> frames;
    for (size_t i = 0; i < c.count; ++i) {
      const size_t size = rng() % (c.max_size + 1);
      const uint32_t seed = rng();
      frames.push_back(MakeFrame(size, seed, rng() % 4 ? 16 : 0));
    }
    Written w = WriteAvi(dir.file("m.avi"), frames, c.limit);
    ASSERT_EQ(w.flush, 1) << what;
    EXPECT_EQ(testbytes::Fnv(w.file), c.fnv) << what;
    EXPECT_GE(RiffLists(w.file, c.limit), 2u) << what;
    ExpectFrames(w.file, frames, what);
    // The last frame's chunk id damaged (the frames come from the last list's index), and
    // the file cut inside its chunk: that frame is named, the ones before are whole.
    const uint64_t last = read_avi_bytes(w.file).info.frames.back().offset;
    Bytes bad = w.file, cut(w.file.begin(), w.file.begin() + long(last + 1));
    bad[last - 8] = 'X';
    for (const Bytes& damaged : {bad, cut}) {
      const testfiles::AviFile avi = read_avi_bytes(damaged);
      ASSERT_TRUE(avi.ok && avi.frames.size() == c.count) << avi.error;
      EXPECT_TRUE(avi.info.frames.back().damage && avi.frames[c.count - 2] == frames[c.count - 2].data);
    }
    ASSERT_EQ(testbytes::fourcc(w.file, 0xD4), "indx");  // without the super index: the walk
    w.file[0xD4] = 'X';
    ExpectFrames(w.file, frames, "no super index, " + what, false);
  }
}

// Where the first list ends, as the writer decides: both the plain ending and the OpenDML
// ending of the frames so far must fit. At that limit the file is the plain file; one byte
// less and the last frame goes to an 'AVIX' list.
TEST(AviOpenDml, WhereTheFirstListEnds) {
  const std::vector<std::vector<size_t>> sets = {{100, 2, 101}, {5000, 5000, 5000, 17}, {0},
                                                 {300000, 1, 2, 3, 4, 5, 6, 7, 8}, {1000, 1000},
                                                 {20, 20, 20, 20, 996}, {4000, 4000}};
  int switched = 0;
  TempDir dir;
  for (const auto& sizes : sets) {
    std::vector<Frame> frames;
    uint64_t e = 8204, need = 0, need_before = 0;
    for (uint64_t n = 1; n <= sizes.size(); ++n) {
      frames.push_back(MakeFrame(sizes[n - 1], uint32_t(n - 1)));
      e += 8 + (sizes[n - 1] + 3) / 4 * 4;
      need_before = need;
      need = std::max((e + 8 + 16 * n + 4 + 1024) / 1024 * 1024, e + 32 + 8 * n + 8 + 16 * n);
    }
    const std::string what = "need=" + std::to_string(need);
    EXPECT_EQ(WriteAvi(dir.file("fit.avi"), frames, need).file, WriteAvi(dir.file("p.avi"), frames).file) << what;
    if (frames.size() < 2 || need_before > need - 1) continue;
    ++switched;
    const Written over = WriteAvi(dir.file("over.avi"), frames, need - 1);
    EXPECT_EQ(RiffLists(over.file, need - 1), 2u) << what;
    EXPECT_EQ(le32(over.file, 0x30), frames.size() - 1) << "avih dwTotalFrames: the first list's frames";
    ExpectFrames(over.file, frames, what);
  }
  EXPECT_GE(switched, 2);
}

// A frame the file cannot take says kFull with a message, as does every later one, and
// leaves no trace: a frame too large for any list, and frames past the super index's 256
// lists (16 KiB lists of 4,000-byte frames: two in the first, four in each 'AVIX', so the
// 256th list is full after 2 + 255 x 4 = 1,022 frames).
TEST(AviOpenDml, RefusedFrames) {
  TempDir dir;
  const std::string f = dir.file("f.avi"), huge = " is too large for a RIFF list of the AVI file " + f + "\n";
  const struct {
    std::vector<size_t> sizes;
    uint64_t limit;
    size_t written, lists;
    std::string out;
  } kCases[] = {
      {{1000, 2000, 300000}, 256 * 1024, 2, 1, "Frame 3 (300000 bytes)" + huge},
      {{20000}, 16 * 1024, 0, 1, "Frame 1 (20000 bytes)" + huge},
      {std::vector<size_t>(1024, 4000), 16 * 1024, 1022, 256,
       "The AVI file " + f + " cannot hold more frames: its index is full at 1022 frames\n"}};
  for (const auto& k : kCases) {
    std::vector<Frame> frames;
    for (size_t size : k.sizes) frames.push_back(MakeFrame(size, uint32_t(frames.size()), frames.size() % 2 * 16));
    const Written w = WriteAvi(f, frames, k.limit);
    std::vector<FrameWrite> want(frames.size(), FrameWrite::kFull);
    std::fill_n(want.begin(), k.written, FrameWrite::kWritten);
    EXPECT_EQ(w.frames, want) << k.out;
    EXPECT_EQ(w.out, k.out);
    EXPECT_EQ(RiffLists(w.file, k.limit), k.lists) << k.out;
    frames.resize(k.written);
    ExpectFrames(w.file, frames, k.out);
    EXPECT_EQ(w.file, WriteAvi(dir.file("same.avi"), frames, k.limit).file) << k.out;
  }
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
  testbytes::ByteWriter r(false);
  const size_t riff = r.open("RIFF", "AVI "), hdrl = r.open("LIST", "hdrl"), avih = r.open("avih");
  r.zeros(24).u32(s.audio_stream_first ? 2 : 1).zeros(28).close(avih);
  if (s.odml_list_first) r.cc("LIST").u32(16).cc("odml").cc("dmlh").u32(4).u32(s.frames.size());
  if (s.audio_stream_first)  // 'strl': 'strh' of 56 bytes, 'strf' of 18
    r.cc("LIST").u32(94).cc("strl").cc("strh").u32(56).cc("auds").zeros(52).cc("strf").u32(18).zeros(18);
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
  testbytes::ByteWriter idx1(false);
  for (size_t i = 0; i < s.frames.size(); ++i) {
    const size_t rec = s.rec_lists ? r.open("LIST", "rec ") : 0;
    if (s.junk_in_movi && i % 2 == 1) r.cc("JUNK").u32(3).bytes(Bytes(3, 0xAA)).zeros(1);
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
// absolute or missing (then 'movi' is walked), and the header fields are read. Files that
// are no AVI file, or hold no stream that is read here, are refused with why.
TEST(AviReader, LayoutsAndRefusals) {
  const auto refused = [](const Bytes& file, const std::string& want) {
    const testfiles::AviFile avi = read_avi_bytes(file);
    EXPECT_FALSE(avi.ok) << want;
    EXPECT_NE(avi.error.find(want), std::string::npos) << "have \"" << avi.error << "\", want \"" << want << "\"";
  };
  const struct {
    void (*change)(FileRecipe&);
    const char* refused;  // nullptr: read
  } kCases[] = {
      {[](FileRecipe&) {}, nullptr},
      {[](FileRecipe& s) { s.frames = {Bytes(5, 1), Bytes(1, 2), Bytes(7, 3), Bytes(6, 4)}; }, nullptr},  // even
      {[](FileRecipe& s) { s.frames = {Bytes(5, 1), Bytes(1, 2), Bytes(7, 3)}, s.pad_to = 4; }, nullptr},
      {[](FileRecipe& s) { s.junk_in_movi = s.rec_lists = true; }, nullptr},
      {[](FileRecipe& s) { s.audio_stream_first = true; }, nullptr},  // the video is stream 01
      {[](FileRecipe& s) { s.odml_list_first = true; }, nullptr},     // a LIST other than 'strl' in 'hdrl'
      {[](FileRecipe& s) { s.compression = nullptr; }, nullptr},      // DIB
      {[](FileRecipe& s) { s.frames.clear(); }, nullptr},
      {[](FileRecipe& s) { s.compression = "MJPG"; }, "'MJPG' is neither"},
      {[](FileRecipe& s) { s.bit_count = 32; }, "32 bits per pixel"},
      {[](FileRecipe& s) { s.stream_type = "auds"; }, "no video stream"},
      {[](FileRecipe& s) { s.two_video_streams = true; }, "2 video streams"},
      {[](FileRecipe& s) { s.height = -2; }, "top-down"},
      {[](FileRecipe& s) { s.width = 0; }, "not valid"},
      {[](FileRecipe& s) { s.width = s.height = 4096; }, "too large"},  // more than a stream codes
      {[](FileRecipe& s) { s.width = s.height = 65536, s.compression = nullptr; }, "too large"}};
  for (size_t c = 0; c < std::size(kCases); ++c)
    for (Idx1 mode : {Idx1::kRelative, Idx1::kAbsolute, Idx1::kNone}) {
      FileRecipe s;
      kCases[c].change(s);
      s.idx1 = mode;
      const std::string what = "case " + std::to_string(c) + " idx1=" + std::to_string(int(mode));
      const Built b = Build(s);
      if (kCases[c].refused) {
        refused(b.file, kCases[c].refused);
        continue;
      }
      const testfiles::AviFile avi = read_avi_bytes(b.file);
      ASSERT_TRUE(avi.ok) << what << ": " << avi.error;
      const AviInfo& i = avi.info;
      const std::vector<uint64_t> have = {uint64_t(i.width), uint64_t(i.height), uint64_t(i.bit_count),
                                          i.compression,     i.rate,             i.scale,
                                          i.length};
      EXPECT_EQ(have, std::vector<uint64_t>(
                          {7, 3, 24, s.compression ? 0x555A4956u : 0u, 30000, 1001, s.frames.size()}))
          << what;
      ASSERT_EQ(avi.frames, s.frames) << what;
      for (size_t k = 0; k < s.frames.size(); ++k)
        EXPECT_TRUE(i.frames[k].offset == b.offsets[k] && i.frames[k].flags == 0x10u) << what << " frame " << k;
    }
  Bytes not_riff = Build({}).file;
  refused(Bytes(not_riff.begin(), not_riff.begin() + 60), "cut short");
  not_riff[0] = 'X';
  for (const Bytes& file : {Bytes{}, Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, not_riff})
    refused(file, "not an AVI file");
}

// A damaged frame is named, with why, and the others are read.
TEST(AviReader, DamageIsNamedPerFrame) {
  const char* const kOutside = "its index entry points outside the file";
  const char* const kMismatch = "its chunk header does not match the index";
  const auto entry = [](Built& b, size_t frame, size_t field, uint32_t v) {  // an idx1 field
    put32(b.file, b.file.size() - 16 * b.offsets.size() + 16 * frame + 4 * field, v);
  };
  std::vector<const char*> whole(6, nullptr), missing(7, nullptr);
  missing[6] = "no chunk of it was found";
  const struct {
    const char* name;
    int64_t length;
    std::function<void(Built&)> damage;
    std::vector<const char*> want;
  } kCases[] = {
      {"an entry outside the file, another of the wrong size", -1,
       [&](Built& b) { entry(b, 1, 2, 0x7FFFFFF0), entry(b, 2, 3, 3); },
       {nullptr, kOutside, kMismatch, nullptr, nullptr, nullptr}},
      {"no entry matches a chunk: the walk", -1,
       [&](Built& b) { for (uint32_t i = 0; i < 6; ++i) entry(b, i, 2, 0x10000 + i); }, whole},
      {"fewer frames than declared", 8, [](Built&) {}, missing},
      {"a huge declared count", 0xFFFFFFFF, [](Built&) {}, missing},
      {"cut inside frame 4", -1, [](Built& b) { b.file.resize(b.offsets[3] + 5); },
       {nullptr, nullptr, nullptr, "the file ends inside its chunk"}},
      {"cut before frame 4", -1, [](Built& b) { b.file.resize(b.offsets[3] - 8); },
       {nullptr, nullptr, nullptr, "the file ends before its chunk"}}};
  for (const auto& k : kCases) {
    FileRecipe s;
    s.length = k.length;
    s.frames.clear();
    for (uint8_t i = 0; i < 6; ++i) s.frames.push_back(Bytes(20, i));
    Built b = Build(s);
    k.damage(b);
    const testfiles::AviFile avi = read_avi_bytes(b.file);
    ASSERT_TRUE(avi.ok) << k.name << ": " << avi.error;
    ASSERT_EQ(avi.info.frames.size(), k.want.size()) << k.name;
    for (size_t i = 0; i < k.want.size(); ++i) {
      EXPECT_STREQ(avi.info.frames[i].damage, k.want[i]) << k.name << " frame " << i;
      EXPECT_TRUE(k.want[i] || avi.info.frames[i].offset == b.offsets[i]) << k.name << " frame " << i;
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
  for (size_t pos = 0; pos < b.size(); ++pos) {
    std::vector<Bytes> files = {Bytes(b.begin(), b.begin() + long(pos))};
    for (int bit = 0; bit < 8; bit += 3) {
      files.push_back(b);
      files.back()[pos] ^= uint8_t(1 << bit);
    }
    for (uint32_t v : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0u}) {
      files.push_back(b);
      if (pos + 4 <= b.size()) put32(files.back(), pos, v);
    }
    for (size_t k = 0; k < files.size(); ++k) {
      const std::string what = "pos=" + std::to_string(pos) + " change " + std::to_string(k);
      const testfiles::AviFile avi = read_avi_bytes(files[k]);
      const uint64_t size = files[k].size();
      EXPECT_TRUE(avi.ok || !avi.error.empty()) << what;
      if (avi.ok) { EXPECT_LE(avi.info.frames.size(), size / 8 + 1) << what; }
      for (const AviFrame& f : avi.ok ? avi.info.frames : std::vector<AviFrame>{})
        EXPECT_TRUE(f.damage || (f.offset <= size && f.size <= size - f.offset)) << what;
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
