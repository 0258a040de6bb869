// AviWriter's plain and OpenDML files (by hash, every frame read back) and write failures;
// read_avi on those, on other writers' RIFF layouts, and on damaged and hostile files.
#include "avi/avi.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
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

// A sound stream to write: its format and its chunks.
struct Sound {
  AviAudioFormat format;
  std::vector<Bytes> chunks;
};

struct Written {
  std::vector<FrameWrite> frames;
  int flush = -1;
  std::string out;
  Bytes file;
};

// Writes frames, each from a buffer with 3 bytes of pad room (zeroed by the writer); flushes.
// Chunk i of every sound stream goes just before frame i, the rest after the last frame.
Written WriteAvi(const std::string& path, const std::vector<Frame>& frames,
                 uint64_t riff_limit = kDefaultRiffLimit, const Params& s = {},
                 const std::vector<Sound>& sounds = {}) {
  Written w;
  w.out = testbytes::captured_stdout([&] {
    AviWriter writer;
    writer.riff_limit = riff_limit;
    for (size_t k = 0; k < sounds.size(); ++k)
      EXPECT_EQ(writer.add_audio_stream(sounds[k].format), int(k + 1));
    if (writer.init(path.c_str(), s.width, s.height, s.rate, s.scale, s.compressed) != 1) return;
    const auto sound = [&](size_t from, size_t to) {  // chunks [from, to) of every stream
      for (size_t k = 0; k < sounds.size(); ++k)
        for (size_t c = from; c < std::min(to, sounds[k].chunks.size()); ++c)
          EXPECT_EQ(writer.write_audio(int(k + 1), sounds[k].chunks[c].data(),
                                       uint32_t(sounds[k].chunks[c].size())),
                    FrameWrite::kWritten);
    };
    for (const Frame& f : frames) {
      sound(size_t(&f - frames.data()), size_t(&f - frames.data()) + 1);
      Bytes b = testbytes::Cat(f.data, {0xAA, 0xAA, 0xAA});
      w.frames.push_back(writer.write_frame(b.data(), int(f.data.size()), int(f.flags)));
      EXPECT_TRUE(w.frames.back() != FrameWrite::kWritten ||
                  std::count(b.end() - 3, b.end(), 0) == 3);
    }
    sound(frames.size(), SIZE_MAX);
    w.flush = writer.flush();
  });
  return w.file = testfiles::read_file(path), w;
}

// read_avi finds every frame with its data and flags (all key frames when walked).
void ExpectFrames(const Bytes& file, const std::vector<Frame>& frames, const std::string& what,
                  bool indexed = true) {
  const testfiles::AviFile avi = read_avi_bytes(file);
  ASSERT_TRUE(avi.ok && avi.frames.size() == frames.size() && avi.info.length == frames.size())
      << what << ": " << avi.error;
  for (size_t i = 0; i < frames.size(); ++i) {
    const uint32_t flags = indexed ? frames[i].flags : 16;
    ASSERT_TRUE(avi.frames[i] == frames[i].data && avi.info.frames[i].flags == flags) << what << i;
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

// Plain files by hash (checked field by field when taken): geometry, rate, mode, the frame period
// (0 where it does not fit), 4-byte chunk pads, idx1 flags, every closing pad, over 512 entries.
TEST(AviWriter, PlainFiles) {
  struct Case {
    Params s;
    std::vector<Frame> frames;
    uint32_t usec = 33333;
  };  // usec: the frame period
  std::vector<Case> cases = {
      {{}, {MakeFrame(100, 1), MakeFrame(2, 2), MakeFrame(101, 3)}},
      {{320, 240, 30, 1, 0}, {MakeFrame(10, 1, 0), MakeFrame(20, 2), MakeFrame(30, 3, 0x7FFF)}},
      {{1920, 1080, 30000, 1001, 0}, {}, 33366},
      {{1, 1, 600, 20, 1}, {}},
      {{17, 3, 25, 1, 0}, {}, 40000}};
  const long long periods[][3] = {
      // rate, scale, the frame period
      {30, 0, 0},      {0, 1, 0},       {1, 2000, 2000000000}, {1, 4294, 4294000000},
      {1, 4295, 0},    {1, INT_MAX, 0}, {30, -1, 0},           {-30, 1, 0},
      {INT_MIN, 1, 0}, {INT_MAX, 1, 0}, {3, 2, 666666},        {1000000, 1, 1},
      {2000000, 1, 0}};
  for (const auto& p : periods)
    cases.push_back({{4, 2, int(p[0]), int(p[1]), 1}, {}, uint32_t(p[2])});
  for (size_t n = 0; n <= 8; ++n)
    cases.push_back({{}, {MakeFrame(n, uint32_t(n)), MakeFrame(4, 99)}});
  // With one frame of padded length p the index ends at 8240 + p: every remainder.
  for (size_t p = 0; p <= 1020; p += 4)
    cases.push_back({{}, {MakeFrame(p == 0 ? 0 : p - p / 4 % 4 % 3, uint32_t(p))}});
  cases.push_back({{4, 2, 30, 1, 1}, {}});
  for (uint32_t i = 0; i < 513; ++i)
    cases.back().frames.push_back(MakeFrame(i % 9, i, i % 3 ? 16 : 0));
  TempDir dir;
  uint64_t all = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string what = "case " + std::to_string(i);
    const Written w = WriteAvi(dir.file("p.avi"), c.frames, kDefaultRiffLimit, c.s);
    ASSERT_TRUE(w.flush == 1 && w.out.empty()) << what << ": " << w.out;
    EXPECT_TRUE(w.file.size() % 1024 == 0 && RiffLists(w.file, w.file.size()) == 1) << what;
    EXPECT_EQ(le32(w.file, 0x20), c.usec) << "rate=" << c.s.rate << " scale=" << c.s.scale;
    ExpectFrames(w.file, c.frames, what);
    all = all * 0x100000001b3ull + testbytes::Fnv(w.file);
    if (i == 0) {
      EXPECT_EQ(testbytes::Fnv(w.file), 0xf141c80020eb4519ull) << "the worked example";
    }
  }
  EXPECT_EQ(all, 0xd6910012bf40998aull) << "the files' hashes";
}

// A failed write is reported once, named, never as success: during frames (that one and every later
// one say kError), at flush, at init; a missing folder; the file gone before the header rewrite.
TEST(AviWriter, WriteFailures) {
  TempDir dir;
  const std::string p = dir.file("o.avi"), missing = dir.file("no/dir/o.avi"),
                    gone = dir.file("gone.avi");
  // Writes side x side DIB frames while files may not grow past `limit` (EFBIG beyond).
  const auto limited = [&](rlim_t limit, const std::vector<Frame>& frames, int side) {
    rlimit old, r;
    getrlimit(RLIMIT_FSIZE, &old), signal(SIGXFSZ, SIG_IGN);
    r = {limit, old.rlim_max}, setrlimit(RLIMIT_FSIZE, &r);
    const Written w = WriteAvi(p, frames, kDefaultRiffLimit, {side, side, 30, 1, 0});
    setrlimit(RLIMIT_FSIZE, &old);
    return w;
  };
  const std::string write = "Unable to write output file " + p + "\n";
  const Written frames =
      limited(64 * 1024, std::vector<Frame>(100, Frame{Bytes(64 * 64 * 3, 7)}), 64);
  std::vector<FrameWrite> want(100, FrameWrite::kError);
  std::fill_n(want.begin(), 4, FrameWrite::kWritten);  // 8,204 bytes of header, chunks of 12,296
  EXPECT_TRUE(frames.frames == want && frames.flush == 0 && frames.out == write) << frames.out;
  const Written flush = limited(8800, {Frame{Bytes(75, 7)}}, 5), init = limited(4096, {Frame{}}, 5);
  EXPECT_TRUE(flush.frames == std::vector{FrameWrite::kWritten} && flush.flush == 0 &&
              flush.out == write);
  EXPECT_TRUE(init.frames.empty() && init.out == "Unable to open output file " + p + "\n")
      << init.out;
  EXPECT_EQ(WriteAvi(missing, {}).out, "Unable to open output file " + missing + "\n");
  AviWriter writer;
  uint8_t frame[8] = {1, 2, 3, 4};
  ASSERT_EQ(writer.init(gone.c_str(), 4, 2, 30, 1, 0), 1);
  ASSERT_EQ(writer.write_frame(frame, 4, 16), FrameWrite::kWritten);
  std::remove(gone.c_str());
  EXPECT_EQ(testbytes::captured_stdout([&] { EXPECT_EQ(writer.flush(), 0); }),
            "Unable to write output file " + gone + "\n");
}

// Files past the RIFF limit, by hash (every list and index entry checked when taken); every frame
// read back, also by the walk of the 'movi' lists without super index.
TEST(AviOpenDml, MultipleRiffLists) {
  TempDir dir;
  for (const auto& [limit, count, most, fnv] :
       std::vector<std::tuple<uint64_t, size_t, size_t, uint64_t>>{
           {1 << 20, 120, 60000, 0xe583db97f52ad9a3},
           {300000, 300, 9000, 0xb8da265d5cb82d05},
           {(1 << 20) + 2, 70, 65537, 0xa2ac59a435a2f317},
           {200000, 2000, 300, 0x23d1ffb331b1cb79},
           {64 * 1024, 100, 16000, 0xc303ff73beb33f63}}) {
    const std::string what = "limit=" + std::to_string(limit);
    std::mt19937 rng(uint32_t(limit + count));
    std::vector<Frame> frames;
    for (size_t i = 0; i < count; ++i) {
      const size_t size = rng() % (most + 1), seed = rng();
      frames.push_back(MakeFrame(size, uint32_t(seed), rng() % 4 ? 16 : 0));
    }
    Written w = WriteAvi(dir.file("m.avi"), frames, limit);
    ASSERT_EQ(w.flush, 1) << what;
    EXPECT_EQ(testbytes::Fnv(w.file), fnv) << what;
    EXPECT_GE(RiffLists(w.file, limit), 2u) << what;
    ExpectFrames(w.file, frames, what);
    // The last frame's chunk id damaged, or the file cut inside it: that frame named, the rest
    // whole.
    const uint64_t last = read_avi_bytes(w.file).info.frames.back().offset;
    Bytes bad = w.file, cut(w.file.begin(), w.file.begin() + long(last + 1));
    bad[last - 8] = 'X';
    for (const Bytes& damaged : {bad, cut}) {
      const testfiles::AviFile avi = read_avi_bytes(damaged);
      ASSERT_TRUE(avi.ok && avi.frames.size() == count) << avi.error;
      EXPECT_TRUE(avi.info.frames.back().damage && avi.frames[count - 2] == frames[count - 2].data);
    }
    ASSERT_EQ(testbytes::fourcc(w.file, 0xD4), "indx");  // without the super index: the walk
    w.file[0xD4] = 'X';
    ExpectFrames(w.file, frames, "no super index, " + what, false);
  }
}

// The first list ends where the plain and the OpenDML endings of the frames so far both fit: at
// that limit the file is the plain file; one byte less, the last frame goes to an 'AVIX'.
TEST(AviOpenDml, WhereTheFirstListEnds) {
  const std::vector<std::vector<size_t>> sets = {
      {100, 2, 101}, {5000, 5000, 5000, 17}, {0},         {300000, 1, 2, 3, 4, 5, 6, 7, 8},
      {1000, 1000},  {20, 20, 20, 20, 996},  {4000, 4000}};
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
    const Bytes plain = WriteAvi(dir.file("p.avi"), frames).file;
    EXPECT_EQ(WriteAvi(dir.file("fit.avi"), frames, need).file, plain) << what;
    if (frames.size() < 2 || need_before > need - 1) continue;
    ++switched;
    const Written over = WriteAvi(dir.file("over.avi"), frames, need - 1);
    EXPECT_EQ(RiffLists(over.file, need - 1), 2u) << what;
    EXPECT_EQ(le32(over.file, 0x30), frames.size() - 1)
        << "avih dwTotalFrames: the first list's frames";
    ExpectFrames(over.file, frames, what);
  }
  EXPECT_GE(switched, 2);
}

// A frame the file cannot take, and every later one, says kFull with a message and leaves no trace:
// one too large for any list; past 256 16 KiB lists of 4,000-byte frames (2 + 255 x 4 = 1,022).
TEST(AviOpenDml, RefusedFrames) {
  TempDir dir;
  const std::string f = dir.file("f.avi"),
                    huge = " is too large for a RIFF list of the AVI file " + f + "\n";
  for (const auto& [sizes, limit, written, lists, out] :  // the lists of the frames written
       std::vector<std::tuple<std::vector<size_t>, uint64_t, size_t, size_t, std::string>>{
           {{1000, 2000, 300000}, 256 * 1024, 2, 1, "Frame 3 (300000 bytes)" + huge},
           {{20000}, 16 * 1024, 0, 1, "Frame 1 (20000 bytes)" + huge},
           {std::vector<size_t>(1024, 4000), 16 * 1024, 1022, 256,
            "The AVI file " + f +
                " cannot hold more frames: its index is full at 1022 frames\n"}}) {
    std::vector<Frame> frames;
    for (size_t n : sizes)
      frames.push_back(MakeFrame(n, uint32_t(frames.size()), frames.size() % 2 * 16));
    const Written w = WriteAvi(f, frames, limit);
    std::vector<FrameWrite> want(frames.size(), FrameWrite::kFull);
    std::fill_n(want.begin(), written, FrameWrite::kWritten);
    EXPECT_TRUE(w.frames == want && w.out == out) << out << " / " << w.out;
    EXPECT_EQ(RiffLists(w.file, limit), lists) << out;
    frames.resize(written);
    ExpectFrames(w.file, frames, out);
    EXPECT_EQ(w.file, WriteAvi(dir.file("same.avi"), frames, limit).file) << out;
  }
}

// --- Sound streams -------------------------------------------------------------------------
// read_avi gives every sound stream its format, its length in blocks and its chunks' bytes.
void ExpectSound(const Bytes& file, const std::vector<Sound>& sounds, const std::string& what) {
  const testfiles::AviFile avi = read_avi_bytes(file);
  ASSERT_TRUE(avi.ok && avi.info.audio.size() == sounds.size()) << what << ": " << avi.error;
  for (size_t k = 0; k < sounds.size(); ++k) {
    SCOPED_TRACE(what + " stream " + std::to_string(k + 1));
    const AviAudio& a = avi.info.audio[k];
    const AviAudioFormat& f = sounds[k].format;
    uint64_t bytes = 0;
    for (const Bytes& c : sounds[k].chunks) bytes += c.size();
    EXPECT_TRUE(a.stream == int(k + 1) && a.length == bytes / f.block_align &&
                a.format.format_tag == f.format_tag && a.format.channels == f.channels &&
                a.format.sample_rate == f.sample_rate && a.format.block_align == f.block_align &&
                a.format.bits_per_sample == f.bits_per_sample);
    ASSERT_EQ(a.chunks.size(), sounds[k].chunks.size());
    for (size_t c = 0; c < a.chunks.size(); ++c) {
      const AviFrame& x = a.chunks[c];
      ASSERT_TRUE(!x.damage && Bytes(file.begin() + long(x.offset),
                                     file.begin() + long(x.offset + x.size)) == sounds[k].chunks[c])
          << "chunk " << c;
    }
  }
}

// The sound streams' lists after the video's, byte for byte: a plain WAVEFORMATEX for 16-bit
// stereo, EXTENSIBLE for float; the header grows by 12,288 bytes; idx1 lists every chunk.
TEST(AviSound, HeaderBytes) {
  TempDir dir;
  const std::vector<Sound> sounds = {{{1, 2, 48000, 16, 4}, {Bytes(4800, 1), Bytes(4800, 2)}},
                                     {{3, 2, 48000, 32, 8}, {Bytes(16, 3), Bytes(8, 4)}}};
  const Written w = WriteAvi(dir.file("s.avi"), {MakeFrame(10, 1), MakeFrame(20, 2)},
                             kDefaultRiffLimit, {4, 2, 30, 1, 0}, sounds);
  ASSERT_EQ(w.flush, 1) << w.out;
  const Bytes& f = w.file;
  EXPECT_EQ(le32(f, 0x10), 4588u + 4230 + 4252) << "hdrl size";
  EXPECT_EQ(le32(f, 0x38), 3u) << "avih dwStreams";
  const std::string zeros16 = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  const std::string junk = " 4A 55 4E 4B 18 10 00 00";
  EXPECT_EQ(testbytes::Hex(&f[0x10F4], 110),
            "4C 49 53 54 7E 10 00 00 73 74 72 6C 73 74 72 68 38 00 00 00 61 75 64 73 " + zeros16 +
                " 04 00 00 00 00 EE 02 00 00 00 00 00 60 09 00 00 C0 12 00 00 FF FF FF FF 04 00 "
                "00 00 00 00 00 00 00 00 00 00 73 74 72 66 12 00 00 00 01 00 02 00 80 BB 00 00 00 "
                "EE 02 00 04 00 10 00 00 00" +
                junk);
  EXPECT_EQ(testbytes::Hex(&f[0x10F4 + 4230], 132),
            "4C 49 53 54 94 10 00 00 73 74 72 6C 73 74 72 68 38 00 00 00 61 75 64 73 " + zeros16 +
                " 08 00 00 00 00 DC 05 00 00 00 00 00 03 00 00 00 10 00 00 00 FF FF FF FF 08 00 "
                "00 00 00 00 00 00 00 00 00 00 73 74 72 66 28 00 00 00 FE FF 02 00 80 BB 00 00 00 "
                "DC 05 00 08 00 20 00 16 00 20 00 03 00 00 00 03 00 00 00 00 00 10 00 80 00 00 AA "
                "00 38 9B 71" +
                junk);
  EXPECT_EQ(testbytes::fourcc(f, 0x10F4 + 8482 + 8), "odml");
  AviWriter refuses;  // no channels; nAvgBytesPerSec past 32 bits; after init
  EXPECT_EQ(refuses.add_audio_stream({1, 0, 48000, 16, 4}), -1);
  EXPECT_EQ(refuses.add_audio_stream({1, 2, 1u << 30, 16, 4}), -1);
  ASSERT_EQ(refuses.init(dir.file("r.avi").c_str(), 4, 2, 30, 1, 0), 1);
  EXPECT_EQ(refuses.add_audio_stream({1, 2, 48000, 16, 4}), -1);
  EXPECT_EQ(le32(f, 0x1204 + 8482), 3576u + 12288 - 8482) << "the closing JUNK's size";
  EXPECT_EQ(testbytes::fourcc(f, 0x5008), "movi");
  const size_t idx1 = 0x5008 + le32(f, 0x5004);
  EXPECT_EQ(testbytes::Hex(&f.at(idx1), 40),
            "69 64 78 31 60 00 00 00 30 31 77 62 10 00 00 00 04 00 00 00 C0 12 00 00 30 32 77 "
            "62 10 00 00 00 CC 12 00 00 10 00 00 00");
}

// Video and three sound streams, odd chunk sizes among them, read back whole: plain, past two
// lowered RIFF limits (each stream's 'indx' and standard indexes), and by the walk.
TEST(AviSound, RoundTrip) {
  TempDir dir;
  for (const uint64_t limit : {kDefaultRiffLimit, uint64_t{300000}, uint64_t{100000}}) {
    const std::string what = "limit=" + std::to_string(limit);
    std::mt19937 rng{uint32_t(limit)};
    std::vector<Frame> frames;
    std::vector<Sound> sounds = {
        {{1, 2, 44100, 16, 4}, {}}, {{7, 1, 8000, 8, 1}, {}}, {{1, 6, 48000, 24, 18}, {}}};
    for (size_t i = 0; i < 60; ++i) {
      frames.push_back(MakeFrame(rng() % 9000, rng()));
      for (Sound& s : sounds)
        s.chunks.push_back(MakeFrame(s.format.block_align * (rng() % 700), rng()).data);
    }
    const Written w = WriteAvi(dir.file("s.avi"), frames, limit, {}, sounds);
    ASSERT_EQ(w.flush, 1) << w.out;
    EXPECT_EQ(RiffLists(w.file, limit) > 1, limit < kDefaultRiffLimit) << what;
    ExpectFrames(w.file, frames, what);
    ExpectSound(w.file, sounds, what);
    Bytes walked = w.file;  // no 'indx', no idx1: the walk
    for (size_t pos = 0; pos < 0x6000; ++pos)
      if (testbytes::fourcc(walked, pos) == "indx") walked[pos] = 'X';
    walked.at(0x6008 + le32(walked, 0x6004)) = 'X';
    ExpectFrames(walked, frames, "walked " + what, false);
    ExpectSound(walked, sounds, "walked " + what);
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
  bool junk_in_movi = false, rec_lists = false, audio_stream_first = false,
       two_video_streams = false, odml_list_first = false;
  bool idx1_first = false;  // the index ahead of the frames, so the last frame ends the file
};

struct Built {
  Bytes file;
  std::vector<uint64_t> offsets;
};  // offsets: of the frames' data

Built Build(const FileRecipe& s) {
  testbytes::ByteWriter r(false);
  const size_t riff = r.open("RIFF", "AVI "), hdrl = r.open("LIST", "hdrl"), avih = r.open("avih");
  r.zeros(24).u32(s.audio_stream_first ? 2 : 1).zeros(28).close(avih);
  if (s.odml_list_first) r.cc("LIST").u32(16).cc("odml").cc("dmlh").u32(4).u32(s.frames.size());
  if (s.audio_stream_first)  // 'strl': 'strh' of 56 bytes, 'strf' of 18
    r.cc("LIST")
        .u32(94)
        .cc("strl")
        .cc("strh")
        .u32(56)
        .cc("auds")
        .zeros(52)
        .cc("strf")
        .u32(18)
        .zeros(18);
  for (int k = s.two_video_streams ? 2 : 1; k > 0; --k) {
    const size_t strl = r.open("LIST", "strl"), strh = r.open("strh");
    r.cc(s.stream_type).cc("vizu").zeros(12).u32(s.scale).u32(s.rate).u32(0);
    r.u32(s.length < 0 ? s.frames.size() : uint64_t(s.length)).zeros(20).close(strh);
    const size_t strf = r.open("strf");
    r.u32(40).u32(uint32_t(s.width)).u32(uint32_t(s.height)).u16(1).u16(uint32_t(s.bit_count));
    (s.compression ? r.cc(s.compression) : r.u32(0)).zeros(20).close(strf), r.close(strl);
  }
  r.close(hdrl);
  const char* id = s.audio_stream_first ? "01dc" : "00dc";
  Built out;
  testbytes::ByteWriter idx1(false);
  const size_t movi = r.open("LIST", "movi");
  for (size_t i = 0; i < s.frames.size(); ++i) {
    const size_t rec = s.rec_lists ? r.open("LIST", "rec ") : 0;
    if (s.junk_in_movi && i % 2 == 1) r.cc("JUNK").u32(3).bytes(Bytes(3, 0xAA)).zeros(1);
    const size_t chunk = r.open(id);
    r.bytes(s.frames[i]).close(chunk, s.pad_to), out.offsets.push_back(chunk + 8);
    idx1.cc(id)
        .u32(0x10)
        .u32(s.idx1 == Idx1::kRelative ? chunk - (movi + 8) : chunk)
        .u32(s.frames[i].size());
    if (s.rec_lists) r.close(rec);
  }
  r.close(movi);
  const size_t index_bytes = 8 + idx1.b.size();
  if (s.idx1 != Idx1::kNone && s.idx1_first) {
    for (size_t e = 8; s.idx1 == Idx1::kAbsolute && e < idx1.b.size(); e += 16)
      put32(idx1.b, e, le32(idx1.b, e) + uint32_t(index_bytes));
    testbytes::ByteWriter index(false);
    index.cc("idx1").u32(idx1.b.size()).bytes(idx1.b);
    r.b.insert(r.b.begin() + long(movi), index.b.begin(), index.b.end());
    for (uint64_t& o : out.offsets) o += index_bytes;
  } else if (s.idx1 != Idx1::kNone) {
    r.cc("idx1").u32(idx1.b.size()).bytes(idx1.b);
  }
  r.close(riff);
  return out.file = r.b, out;
}

// Every frame found at its offset with its size, idx1 relative to 'movi', absolute or missing (the
// walk), and the header read. No AVI file, or no stream read here: refused with why.
TEST(AviReader, LayoutsAndRefusals) {
  const auto refused = [](const Bytes& file, const std::string& want) {
    const std::string e = read_avi_bytes(file).error;  // empty when read
    EXPECT_TRUE(e.find(want) != std::string::npos) << e << " / want: " << want;
  };
  const std::pair<void (*)(FileRecipe&), const char*> kCases[] = {
      // the change, why refused
      {[](auto&) {}, nullptr},
      {[](auto& s) { s.frames.clear(); }, nullptr},
      {[](auto& s) {
         s.frames = {Bytes(5, 1), Bytes(1, 2), Bytes(7, 3), Bytes(6, 4)};
       },
       nullptr},
      {[](auto& s) {
         s.frames = {Bytes(5, 1), Bytes(1, 2), Bytes(7, 3)}, s.pad_to = 4;
       },
       nullptr},
      {[](auto& s) { s.junk_in_movi = s.rec_lists = true; }, nullptr},
      {[](auto& s) { s.audio_stream_first = true; }, nullptr},  // the video is stream 01
      {[](auto& s) { s.odml_list_first = true; }, nullptr},  // a LIST other than 'strl' in 'hdrl'
      {[](auto& s) { s.idx1_first = true; }, nullptr},
      {[](auto& s) { s.compression = nullptr; }, nullptr},
      {[](auto& s) { s.height = -2; }, "top-down"},
      {[](auto& s) { s.compression = "MJPG"; }, "'MJPG' is neither"},
      {[](auto& s) { s.bit_count = 280; }, "280 bits per pixel"},
      {[](auto& s) { s.width = 0; }, "not valid"},
      {[](auto& s) { s.stream_type = "auds"; }, "no video stream"},
      {[](auto& s) { s.two_video_streams = true; }, "2 video streams"},
      {[](auto& s) { s.width = s.height = 4096; }, "too large"},  // more than a stream codes
      {[](auto& s) { s.width = s.height = 65536, s.compression = nullptr; }, "too large"}};
  for (size_t c = 0; c < std::size(kCases); ++c)
    for (Idx1 mode : {Idx1::kRelative, Idx1::kAbsolute, Idx1::kNone}) {
      FileRecipe s;
      s.idx1 = mode, kCases[c].first(s);
      const std::string what = "case " + std::to_string(c) + " idx1=" + std::to_string(int(mode));
      const Built b = Build(s);
      if (kCases[c].second) {
        refused(b.file, kCases[c].second);
        continue;
      }
      const testfiles::AviFile avi = read_avi_bytes(b.file);
      ASSERT_TRUE(avi.ok) << what << ": " << avi.error;
      const AviInfo& i = avi.info;
      EXPECT_TRUE(i.width == 7 && i.height == 3 && i.bit_count == 24 && i.rate == 30000 &&
                  i.scale == 1001 && i.length == s.frames.size() &&
                  i.compression == (s.compression ? 0x555A4956u : 0u))
          << what;
      ASSERT_EQ(avi.frames, s.frames) << what;
      for (size_t k = 0; k < s.frames.size(); ++k)
        EXPECT_TRUE(i.frames[k].offset == b.offsets[k] && i.frames[k].flags == 0x10u)
            << what << " " << k;
    }
  Bytes not_riff = Build({}).file;
  refused(Bytes(not_riff.begin(), not_riff.begin() + 60), "cut short");
  not_riff[0] = 'X';
  for (const Bytes& file :
       {Bytes{}, Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, not_riff})
    refused(file, "not an AVI file");
}

// A damaged frame is named with why, the others read: an entry outside the file, one of the wrong
// size; no entry matching a chunk (the walk); fewer frames than declared, or a huge declared count.
TEST(AviReader, DamageIsNamedPerFrame) {
  const char* const kWhy[] = {
      nullptr, "its index entry points outside the file",  // '.', 'o', 'm', 'n'
      "its chunk header does not match the index", "no chunk of it was found"};
  const auto entry = [](Built& b, size_t frame, size_t field, uint32_t v) {  // an idx1 field
    put32(b.file, b.file.size() - 16 * b.offsets.size() + 16 * frame + 4 * field, v);
  };
  const std::tuple<int64_t, std::function<void(Built&)>, std::string> kCases[] = {
      // length, damage, frames
      {-1, [&](Built& b) { entry(b, 1, 2, 0x7FFFFFF0), entry(b, 2, 3, 3); }, ".om..."},
      {-1,
       [&](Built& b) {
         for (uint32_t i = 0; i < 6; ++i) entry(b, i, 2, 0x10000 + i);
       },
       "......"},
      {8, [](Built&) {}, "......n"},
      {0xFFFFFFFF, [](Built&) {}, "......n"}};
  for (const auto& [length, damage, want] : kCases) {
    FileRecipe s;
    s.length = length, s.frames.clear();
    for (uint8_t i = 0; i < 6; ++i) s.frames.push_back(Bytes(20, i));
    Built b = Build(s);
    damage(b);
    const testfiles::AviFile avi = read_avi_bytes(b.file);
    ASSERT_TRUE(avi.ok && avi.info.frames.size() == want.size()) << want << ": " << avi.error;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_STREQ(avi.info.frames[i].damage, kWhy[std::string(".omn").find(want[i])]) << want << i;
      EXPECT_TRUE(want[i] != '.' || avi.info.frames[i].offset == b.offsets[i])
          << want << " frame " << i;
    }
  }
}

// At every position of a file: cut, three bits flipped, four extreme 32-bit values written.
// The file is refused with a message, or no frame said to be whole lies outside it.
TEST(AviReader, CutsBitFlipsAndHugeFields) {
  FileRecipe s;
  s.junk_in_movi = true;
  const Bytes b = Build(s).file;
  const uint32_t kValues[] = {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0u};
  for (size_t pos = 0; pos < b.size(); ++pos) {
    std::vector<Bytes> files(8, b);  // cut, bits 0, 3 and 6 flipped, the four values
    files[0].resize(pos);
    for (int k = 0; k < 3; ++k) files[1 + k][pos] ^= uint8_t(1 << (3 * k));
    for (int k = 0; k < 4 && pos + 4 <= b.size(); ++k) put32(files[4 + k], pos, kValues[k]);
    for (size_t k = 0; k < files.size(); ++k) {
      SCOPED_TRACE("pos " + std::to_string(pos) + " change " + std::to_string(k));
      const testfiles::AviFile avi = read_avi_bytes(files[k]);
      const uint64_t size = files[k].size();
      EXPECT_TRUE(avi.ok ? avi.info.frames.size() <= size / 8 + 1 : !avi.error.empty());
      for (const AviFrame& f : avi.info.frames)
        EXPECT_TRUE(!avi.ok || f.damage || (f.offset <= size && f.size <= size - f.offset));
    }
  }
}

// A still scene: 5,000 12-byte chunks found by the walk when idx1 is gone, none dropped.
TEST(AviReader, WalkFindsEveryTinyFrame) {
  TempDir dir;
  const std::vector<Frame> frames(5000, Frame{{5, 0}, 16});
  Bytes file = WriteAvi(dir.file("still.avi"), frames).file;
  file.resize(0x2008 + le32(file, 0x2004));  // cut at idx1, as a copy that stopped early
  ExpectFrames(file, frames, "still scene");
}

}  // namespace
