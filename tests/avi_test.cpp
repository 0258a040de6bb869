// AviWriter: the header template and image, frame chunks, idx1, the closing pad, write
// failures, and the OpenDML layout of files that pass the RIFF limit.
//
// Expected plain files are built here independently from the header field table, so a
// comparison is byte for byte. OpenDML files are checked by walking every RIFF list and
// every index.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "avi/avi.h"
#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;

const char kCredit[] = "Written by zoduviv, the QuickTime to Vozodiva AVI converter";
constexpr size_t kPadSlack = 3;

using testbytes::fourcc;
using testbytes::le16;
using testbytes::le32;
using testbytes::le64;
using testbytes::put16;
using testbytes::put32;
using testfiles::read_file;
using testfiles::TempDir;

void putcc(std::vector<uint8_t>& b, size_t off, const char* cc) { std::memcpy(&b[off], cc, 4); }
void append32(std::vector<uint8_t>& b, uint32_t v) {
  b.resize(b.size() + 4);
  put32(b, b.size() - 4, v);
}
void appendcc(std::vector<uint8_t>& b, const char* cc) { b.insert(b.end(), cc, cc + 4); }

// ---------------------------------------------------------------------------------------
// The header template, built from its field table.

struct Field {
  size_t offset;
  int bytes;         // 2 or 4
  uint32_t value;    // when code is null
  const char* code;  // a four-character code
};

const Field kTemplateFields[] = {
    {0x0000, 4, 0, "RIFF"},    {0x0008, 4, 0, "AVI "},    {0x000C, 4, 0, "LIST"},
    {0x0010, 4, 4588, nullptr}, {0x0014, 4, 0, "hdrl"},   {0x0018, 4, 0, "avih"},
    {0x001C, 4, 56, nullptr},  {0x002C, 4, 16, nullptr},  {0x0038, 4, 1, nullptr},
    {0x0058, 4, 0, "LIST"},    {0x005C, 4, 4244, nullptr}, {0x0060, 4, 0, "strl"},
    {0x0064, 4, 0, "strh"},    {0x0068, 4, 56, nullptr},  {0x006C, 4, 0, "vids"},
    {0x0094, 4, 10000, nullptr}, {0x00A0, 2, 352, nullptr}, {0x00A2, 2, 240, nullptr},
    {0x00A4, 4, 0, "strf"},    {0x00A8, 4, 40, nullptr},  {0x00AC, 4, 40, nullptr},
    {0x00B8, 2, 1, nullptr},   {0x00BA, 2, 24, nullptr},  {0x00D4, 4, 0, "JUNK"},
    {0x00D8, 4, 4120, nullptr}, {0x10F4, 4, 0, "LIST"},   {0x10F8, 4, 260, nullptr},
    {0x10FC, 4, 0, "odml"},    {0x1100, 4, 0, "dmlh"},    {0x1104, 4, 248, nullptr},
    {0x1108, 4, 1, nullptr},   {0x1200, 4, 0, "JUNK"},    {0x1204, 4, 3576, nullptr},
    {0x2000, 4, 0, "LIST"},    {0x2008, 4, 0, "movi"},
};

std::vector<uint8_t> build_template() {
  std::vector<uint8_t> t(kAviHeaderBytes, 0);
  for (const Field& f : kTemplateFields) {
    if (f.code) {
      putcc(t, f.offset, f.code);
    } else if (f.bytes == 2) {
      put16(t, f.offset, uint16_t(f.value));
    } else {
      put32(t, f.offset, f.value);
    }
  }
  return t;
}

struct Params {
  int width = 320;
  int height = 240;
  int rate = 30;
  int scale = 1;
  int compressed = 1;
};

// The header image right after init.
std::vector<uint8_t> expected_header(const Params& s, uint32_t micro_sec_per_frame) {
  std::vector<uint8_t> h = build_template();
  put32(h, 0x20, micro_sec_per_frame);
  put32(h, 0x40, uint32_t(s.width));
  put32(h, 0xB0, uint32_t(s.width));
  put32(h, 0x44, uint32_t(s.height));
  put32(h, 0xB4, uint32_t(s.height));
  put32(h, 0x80, uint32_t(s.scale));
  put32(h, 0x84, uint32_t(s.rate));
  put32(h, 0xC0, uint32_t(3 * s.width * s.height));
  putcc(h, 0x70, s.compressed ? "vizu" : "DIB ");
  if (s.compressed) putcc(h, 0xBC, "VIZU");
  std::memcpy(&h[0x1208], kCredit, sizeof(kCredit));
  return h;
}

struct Frame {
  std::vector<uint8_t> data;
  int flags = 16;
};

Frame make_frame(size_t size, uint32_t seed, int flags = 16) {
  Frame f;
  f.flags = flags;
  std::mt19937 rng(seed);
  f.data.resize(size);
  for (auto& b : f.data) b = uint8_t(rng() | 1);  // no zero bytes, so pads stand out
  return f;
}

// The whole plain file for these frames, as finishing leaves it.
std::vector<uint8_t> expected_plain_file(const Params& s, uint32_t usec,
                                         const std::vector<Frame>& frames) {
  std::vector<uint8_t> file = expected_header(s, usec);
  std::vector<uint8_t> idx1;
  int32_t max_chunk = 0;
  for (const Frame& f : frames) {
    const size_t size = f.data.size();
    const size_t padded = (size + 3) / 4 * 4;
    const uint32_t pos = uint32_t(file.size());
    appendcc(file, "00dc");
    append32(file, uint32_t(size));
    file.insert(file.end(), f.data.begin(), f.data.end());
    file.resize(file.size() + (padded - size), 0);
    appendcc(idx1, "00dc");
    append32(idx1, uint32_t(f.flags));
    append32(idx1, pos - 8200);
    append32(idx1, uint32_t(padded));
    max_chunk = std::max<int32_t>(max_chunk, int32_t(size) + 4);
  }
  const uint32_t e = uint32_t(file.size());
  appendcc(file, "idx1");
  append32(file, uint32_t(idx1.size()));
  file.insert(file.end(), idx1.begin(), idx1.end());
  appendcc(file, "JUNK");
  const size_t q = file.size();
  file.resize((q + 1024) / 1024 * 1024, 0);
  put32(file, 0x04, uint32_t(file.size() - 8));
  put32(file, 0x30, uint32_t(frames.size()));
  put32(file, 0x8C, uint32_t(frames.size()));
  put32(file, 0x90, uint32_t(max_chunk));
  put32(file, 0x2004, e - 8200);
  return file;
}

// Writes frames through a writer (each from a buffer with the pad slack) and flushes it;
// returns every result and what the writer printed.
struct WriteResult {
  int init = -1;
  std::vector<FrameWrite> frames;
  int flush = -1;
  std::string out;
};

WriteResult write_avi(const std::string& path, const Params& s, const std::vector<Frame>& frames,
                      uint64_t riff_limit = kDefaultRiffLimit, bool stop_on_full = false) {
  WriteResult r;
  AviWriter writer;
  writer.riff_limit = riff_limit;
  testing::internal::CaptureStdout();
  r.init = writer.init(path.c_str(), s.width, s.height, s.rate, s.scale, s.compressed);
  if (r.init == 1) {
    std::vector<uint8_t> buffer;
    for (const Frame& f : frames) {
      buffer.assign(f.data.begin(), f.data.end());
      buffer.resize(f.data.size() + kPadSlack, 0xAA);
      r.frames.push_back(writer.write_frame(buffer.data(), int(f.data.size()), f.flags));
      if (stop_on_full && r.frames.back() != FrameWrite::kWritten) break;
    }
    r.flush = writer.flush();
  }
  r.out = testing::internal::GetCapturedStdout();
  return r;
}

uint32_t usec_of(const Params& s) {
  if (s.rate == 0) return 0;
  return uint32_t(1000000.0 * s.scale / s.rate);
}

// ---------------------------------------------------------------------------------------
// Header template and byte order.

// The template packs (zero-run level 1) to exactly the stored 191 bytes, and they unpack
// to the template without writing past its length.
TEST(AviTemplate, PacksToCompactEmptyAndBack) {
  const std::vector<uint8_t> t = build_template();
  std::vector<uint8_t> packed(t.size() * 3 / 2 + 3);
  const int n = zero::RLE(t.data(), packed.data(), int(t.size()), 1);
  ASSERT_EQ(n, 191);
  packed.resize(size_t(n));
  EXPECT_EQ(packed, std::vector<uint8_t>(compact_empty, compact_empty + 191));

  std::vector<uint8_t> unpacked(kAviHeaderBytes + 16, 0xEE);
  EXPECT_EQ(zero::deRLE(compact_empty, unpacked.data(), kAviHeaderBytes, 1), 191);
  EXPECT_EQ(unpacked[kAviHeaderBytes], 0xEE) << "wrote past the output length";
  unpacked.resize(kAviHeaderBytes);
  EXPECT_EQ(unpacked, t);
}

TEST(AviByteOrder, ToAviEdianLStoresLeastSignificantFirst) {
  for (uint32_t v : {0x00000000u, 0x11223344u, 0x80000001u, 0xFFFFFFFFu, 230400u}) {
    const uint32_t file_form = uint32_t(to_avi_edian_l(v));
    uint8_t bytes[4];
    std::memcpy(bytes, &file_form, 4);
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(bytes[i], uint8_t(v >> (8 * i))) << "v=" << std::hex << v << " byte " << i;
  }
}

// ---------------------------------------------------------------------------------------
// Set-up.

struct HeaderCase {
  Params setup;
  const char* handler;
  uint8_t compression[4];
};

TEST(AviInit, HeaderImageBothModes) {
  const HeaderCase cases[] = {
      {{320, 240, 30, 1, 1}, "vizu", {'V', 'I', 'Z', 'U'}},
      {{320, 240, 30, 1, 0}, "DIB ", {0, 0, 0, 0}},
      {{1, 1, 600, 20, 1}, "vizu", {'V', 'I', 'Z', 'U'}},
      {{1920, 1080, 30000, 1001, 0}, "DIB ", {0, 0, 0, 0}},
      {{17, 3, 25, 1, 0}, "DIB ", {0, 0, 0, 0}},
  };
  for (const HeaderCase& c : cases) {
    TempDir dir;
    const std::string path = dir.file("h.avi");
    AviWriter writer;
    testing::internal::CaptureStdout();
    const int ok = writer.init(path.c_str(), c.setup.width, c.setup.height, c.setup.rate,
                               c.setup.scale, c.setup.compressed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(ok, 1);
    writer.out.flush();
    const std::vector<uint8_t> file = read_file(path);
    const std::string what = std::to_string(c.setup.width) + "x" +
                             std::to_string(c.setup.height) + " compressed=" +
                             std::to_string(c.setup.compressed);
    // The whole image, built from the field table above; the handler and compression
    // codes are checked once more against this table's own columns.
    ASSERT_EQ(file.size(), size_t(kAviHeaderBytes)) << what;
    EXPECT_EQ(file, expected_header(c.setup, usec_of(c.setup))) << what;
    EXPECT_EQ(fourcc(file, 0x70), c.handler) << what;
    EXPECT_EQ(0, std::memcmp(&file[0xBC], c.compression, 4)) << what;
    EXPECT_EQ(writer.num_frames, 0);
    EXPECT_EQ(writer.index_capacity, 0);
    EXPECT_EQ(writer.max_chunk_size, 0);
  }
}

TEST(AviInit, Width320StoredLittleEndian) {
  TempDir dir;
  ASSERT_EQ(write_avi(dir.file("w.avi"), Params{}, {}).flush, 1);
  const std::vector<uint8_t> file = read_file(dir.file("w.avi"));
  const uint8_t want[4] = {0x40, 0x01, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(&file[0x40], want, 4));
  EXPECT_EQ(le32(file, 0xC0), 230400u);
}

struct PeriodCase {
  int rate;
  int scale;
  uint32_t want;
};

TEST(AviInit, FramePeriod) {
  const PeriodCase cases[] = {
      {30, 1, 33333},        {600, 20, 33333},      {30000, 1001, 33366}, {30, 0, 0},
      {0, 1, 0},             {0, 0, 0},             {1, 2000, 2000000000u},
      {1, 4294, 4294000000u}, {1, 4295, 0},         {1, 5000, 0},         {1, INT_MAX, 0},
      {30, -1, 0},           {-30, 1, 0},           {INT_MIN, 1, 0},      {INT_MAX, 1, 0},
      {3, 2, 666666},        {1000000, 1, 1},       {2000000, 1, 0},
  };
  for (const PeriodCase& c : cases) {
    TempDir dir;
    ASSERT_EQ(write_avi(dir.file("p.avi"), Params{4, 2, c.rate, c.scale, 1}, {}).flush, 1);
    const std::vector<uint8_t> file = read_file(dir.file("p.avi"));
    EXPECT_EQ(le32(file, 0x20), c.want) << "rate=" << c.rate << " scale=" << c.scale;
    EXPECT_EQ(le32(file, 0x80), uint32_t(c.scale)) << "rate=" << c.rate << " scale=" << c.scale;
    EXPECT_EQ(le32(file, 0x84), uint32_t(c.rate)) << "rate=" << c.rate << " scale=" << c.scale;
  }
}

TEST(AviInit, MissingDirectory) {
  TempDir dir;
  const std::string path = dir.file("no/such/dir/out.avi");
  AviWriter writer;
  testing::internal::CaptureStdout();
  const int ok = writer.init(path.c_str(), 4, 2, 30, 1, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open output file " + path + "\n");
  EXPECT_EQ(ok, 0);
  EXPECT_FALSE(fs::exists(dir.file("no")));
}

// ---------------------------------------------------------------------------------------
// Frames, index, closing pad.

TEST(AviFrames, WorkedExample) {
  TempDir dir;
  const std::string path = dir.file("x.avi");
  const Params s;
  const std::vector<Frame> frames = {make_frame(100, 1), make_frame(2, 2), make_frame(101, 3)};
  const WriteResult r = write_avi(path, s, frames);
  EXPECT_EQ(r.frames, std::vector<FrameWrite>(3, FrameWrite::kWritten));
  ASSERT_EQ(r.flush, 1);
  EXPECT_EQ(r.out, "");

  const std::vector<uint8_t> file = read_file(path);
  ASSERT_EQ(file.size(), 9216u);
  const size_t chunk_pos[] = {8204, 8312, 8324};
  const uint32_t offsets[] = {4, 112, 124};
  const uint32_t lengths[] = {100, 4, 104};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(fourcc(file, chunk_pos[i]), "00dc") << i;
    EXPECT_EQ(le32(file, chunk_pos[i] + 4), frames[i].data.size()) << i;
  }
  const size_t e = 8436;
  EXPECT_EQ(fourcc(file, e), "idx1");
  EXPECT_EQ(le32(file, e + 4), 48u);
  for (int i = 0; i < 3; ++i) {
    const size_t entry = e + 8 + 16 * i;
    EXPECT_EQ(fourcc(file, entry), "00dc");
    EXPECT_EQ(le32(file, entry + 4), 16u);
    EXPECT_EQ(le32(file, entry + 8), offsets[i]);
    EXPECT_EQ(le32(file, entry + 12), lengths[i]);
  }
  EXPECT_EQ(fourcc(file, 8492), "JUNK");
  for (size_t i = 8496; i < 9216; ++i) ASSERT_EQ(file[i], 0) << i;  // 720 zero bytes
  EXPECT_EQ(le32(file, 0x04), 9208u);
  EXPECT_EQ(le32(file, 0x2004), 236u);
  EXPECT_EQ(le32(file, 0x30), 3u);
  EXPECT_EQ(le32(file, 0x8C), 3u);
  EXPECT_EQ(le32(file, 0x90), 105u);
  EXPECT_EQ(le32(file, 0x3C), 0u);
  EXPECT_EQ(le32(file, 0x88), 0u);
  EXPECT_EQ(file, expected_plain_file(s, usec_of(s), frames));
}

TEST(AviFrames, PaddingForEveryLength) {
  for (size_t len = 0; len <= 8; ++len) {
    TempDir dir;
    const std::string path = dir.file("pad.avi");
    const std::vector<Frame> frames = {make_frame(len, uint32_t(len)), make_frame(4, 99)};
    AviWriter writer;
    ASSERT_EQ(writer.init(path.c_str(), 4, 2, 30, 1, 0), 1);
    std::vector<uint8_t> buffer = frames[0].data;
    buffer.resize(len + kPadSlack, 0xAA);
    ASSERT_EQ(writer.write_frame(buffer.data(), int(len), 16), FrameWrite::kWritten);
    // The three bytes after the frame are zeroed in the caller's buffer, pad or not.
    for (size_t i = len; i < len + kPadSlack; ++i) EXPECT_EQ(buffer[i], 0) << "len=" << len;
    EXPECT_EQ(writer.max_chunk_size, int(len) + 4);
    buffer = frames[1].data;
    buffer.resize(4 + kPadSlack);
    ASSERT_EQ(writer.write_frame(buffer.data(), 4, 16), FrameWrite::kWritten);
    ASSERT_EQ(writer.flush(), 1);

    const std::vector<uint8_t> file = read_file(path);
    const size_t padded = (len + 3) / 4 * 4;
    EXPECT_EQ(le32(file, 8208), len);
    for (size_t i = 8212 + len; i < 8212 + padded; ++i) EXPECT_EQ(file[i], 0) << "len=" << len;
    EXPECT_EQ(fourcc(file, 8212 + padded), "00dc") << "len=" << len;
    const size_t idx1 = 8212 + padded + 12;
    EXPECT_EQ(fourcc(file, idx1), "idx1") << "len=" << len;
    EXPECT_EQ(le32(file, idx1 + 8 + 12), padded) << "len=" << len;
    EXPECT_EQ(le32(file, idx1 + 8 + 16 + 8), 4 + 8 + padded) << "len=" << len;
    Params s;
    s.width = 4;
    s.height = 2;
    s.compressed = 0;
    EXPECT_EQ(file, expected_plain_file(s, usec_of(s), frames)) << "len=" << len;
  }
}

TEST(AviFrames, ZeroFrames) {
  TempDir dir;
  const Params s;
  const WriteResult r = write_avi(dir.file("z.avi"), s, {});
  ASSERT_EQ(r.init, 1);
  ASSERT_EQ(r.flush, 1);
  EXPECT_EQ(r.out, "");
  const std::vector<uint8_t> file = read_file(dir.file("z.avi"));
  ASSERT_EQ(file.size(), 9216u);
  EXPECT_EQ(fourcc(file, 8204), "idx1");
  EXPECT_EQ(le32(file, 8208), 0u);
  EXPECT_EQ(fourcc(file, 8212), "JUNK");
  EXPECT_EQ(le32(file, 0x2004), 4u);
  EXPECT_EQ(le32(file, 0x30), 0u);
  EXPECT_EQ(le32(file, 0x8C), 0u);
  EXPECT_EQ(le32(file, 0x90), 0u);
  EXPECT_EQ(le32(file, 0x04), 9208u);
  EXPECT_EQ(file, expected_plain_file(s, usec_of(s), {}));
}

TEST(AviFrames, IndexGrowsBy512Entries) {
  TempDir dir;
  const std::string path = dir.file("g.avi");
  AviWriter writer;
  ASSERT_EQ(writer.init(path.c_str(), 4, 2, 30, 1, 1), 1);
  std::vector<Frame> frames;
  uint8_t buffer[16] = {};
  for (int i = 0; i < 513; ++i) {
    frames.push_back(make_frame(size_t(i % 9), uint32_t(i), i % 3 ? 16 : 0));
    std::copy(frames.back().data.begin(), frames.back().data.end(), buffer);
    ASSERT_EQ(writer.write_frame(buffer, int(frames.back().data.size()), frames.back().flags),
              FrameWrite::kWritten);
    const int want = i < 512 ? 512 : 1024;
    ASSERT_EQ(writer.index_capacity, want) << "frame " << i;
    ASSERT_EQ(writer.index.size(), size_t(want) * 16) << "frame " << i;
  }
  EXPECT_EQ(writer.num_frames, 513);
  ASSERT_EQ(writer.flush(), 1);
  const std::vector<uint8_t> file = read_file(path);
  Params s;
  s.width = 4;
  s.height = 2;
  EXPECT_EQ(file, expected_plain_file(s, usec_of(s), frames));
  // The in-memory entries are the file's entries.
  const size_t idx1 = 8200 + le32(file, 0x2004);
  ASSERT_EQ(le32(file, idx1 + 4), 513u * 16);
  EXPECT_EQ(0, std::memcmp(&file[idx1 + 8], writer.index.data(), 513 * 16));
}

TEST(AviFrames, ClosingPadForEveryRemainder) {
  // With one frame of padded length p, Q = 8240 + p, so p = 0, 4, ..., 1020 visits every
  // remainder of Q modulo 1,024 that can occur (Q is always a multiple of 4).
  std::vector<bool> seen(256, false);
  for (size_t p = 0; p <= 1020; p += 4) {
    TempDir dir;
    const Params s;
    const size_t len = p == 0 ? 0 : p - (p / 4) % 4 % 3;  // lengths with and without pad
    const std::vector<Frame> frames = {make_frame(len, uint32_t(p))};
    ASSERT_EQ(write_avi(dir.file("q.avi"), s, frames).flush, 1);
    const std::vector<uint8_t> file = read_file(dir.file("q.avi"));
    const size_t q = 8240 + (len + 3) / 4 * 4;
    ASSERT_EQ(fourcc(file, q - 4), "JUNK") << "len=" << len;
    const size_t z = file.size() - q;
    EXPECT_GE(z, 1u) << "len=" << len;
    EXPECT_LE(z, 1024u) << "len=" << len;
    if (q % 1024 == 0) {
      EXPECT_EQ(z, 1024u) << "len=" << len;
    }
    EXPECT_EQ(file.size() % 1024, 0u) << "len=" << len;
    EXPECT_EQ(le32(file, 4), file.size() - 8) << "len=" << len;
    EXPECT_EQ(file, expected_plain_file(s, usec_of(s), frames)) << "len=" << len;
    seen[(q % 1024) / 4] = true;
  }
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_TRUE(seen[i]) << "remainder " << 4 * i;
}

TEST(AviFrames, FlagsStoredUnchangedInIdx1) {
  TempDir dir;
  const Params s;
  const std::vector<Frame> frames = {make_frame(10, 1, 0), make_frame(20, 2, 16),
                                     make_frame(30, 3, 0x7FFF)};
  ASSERT_EQ(write_avi(dir.file("f.avi"), s, frames).flush, 1);
  EXPECT_EQ(read_file(dir.file("f.avi")), expected_plain_file(s, usec_of(s), frames));
}

// ---------------------------------------------------------------------------------------
// Write failures.

TEST(AviErrors, DevFull) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  AviWriter writer;
  testing::internal::CaptureStdout();
  const int ok = writer.init("/dev/full", 4, 2, 30, 1, 1);
  std::string out = testing::internal::GetCapturedStdout();
  if (ok == 0) {
    EXPECT_EQ(out, "Unable to open output file /dev/full\n");
    return;
  }
  // Had the header gone into a buffer, the failure must show by flush at the latest.
  testing::internal::CaptureStdout();
  uint8_t frame[8] = {1, 2, 3, 4, 5};
  const FrameWrite w = writer.write_frame(frame, 5, 16);
  const int flushed = w == FrameWrite::kWritten ? writer.flush() : 0;
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(flushed, 0);
  EXPECT_EQ(out, "Unable to write output file /dev/full\n");
}

// Runs body in a child process whose files may not grow past max_file_bytes (a write
// beyond fails with EFBIG instead of raising SIGXFSZ); the child's standard output goes to
// out_path. Returns the child's exit status.
template <typename Body>
int run_with_file_size_limit(rlim_t max_file_bytes, const std::string& out_path, Body body) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    std::FILE* f = std::freopen(out_path.c_str(), "w", stdout);
    if (!f) _exit(90);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{max_file_bytes, max_file_bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(91);
    const int status = body();
    std::fflush(stdout);
    _exit(status);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

std::string read_text(const std::string& path) {
  const std::vector<uint8_t> b = read_file(path);
  return std::string(b.begin(), b.end());
}

// Each body returns 0 when the writer failed as it should (1-9 for the ways it can go
// wrong) in a child process whose files may not pass the given size.
TEST(AviErrors, WriteFailures) {
  const struct {
    const char* name;
    rlim_t limit;
    const char* message;
    int (*body)(const std::string& path);
  } cases[] = {
      {"during frames: a frame says kError, later calls too, flush returns 0", 64 * 1024,
       "Unable to write output file ",
       [](const std::string& path) {
         AviWriter writer;
         if (writer.init(path.c_str(), 64, 64, 30, 1, 0) != 1) return 1;
         std::vector<uint8_t> frame(64 * 64 * 3 + kPadSlack, 7);
         int i = 0;
         for (; i < 100; ++i) {
           const FrameWrite w = writer.write_frame(frame.data(), 64 * 64 * 3, 16);
           if (w == FrameWrite::kError) break;
           if (w != FrameWrite::kWritten) return 2;
         }
         if (i == 100) return 3;
         if (writer.write_frame(frame.data(), 64 * 64 * 3, 16) != FrameWrite::kError) return 4;
         return writer.flush() != 0 ? 5 : 0;
       }},
      {"at flush: the frame fits the stream's buffer, the index and pad pass the limit", 8800,
       "Unable to write output file ",
       [](const std::string& path) {
         AviWriter writer;
         if (writer.init(path.c_str(), 4, 2, 30, 1, 0) != 1) return 1;
         uint8_t frame[100 + kPadSlack] = {};
         if (writer.write_frame(frame, 100, 16) != FrameWrite::kWritten) return 2;
         return writer.flush() != 0 ? 3 : 0;
       }},
      {"the header cannot be written", 4096, "Unable to open output file ",
       [](const std::string& path) {
         AviWriter writer;
         return writer.init(path.c_str(), 4, 2, 30, 1, 0) == 0 ? 0 : 1;
       }},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.file("out.avi");
    const std::string log = dir.file("log.txt");
    EXPECT_EQ(run_with_file_size_limit(c.limit, log, [&]() { return c.body(path); }), 0)
        << "case=" << c.name;
    EXPECT_EQ(read_text(log), c.message + path + "\n") << "case=" << c.name;
  }
}

TEST(AviErrors, ReopenFailsAtFinish) {
  TempDir dir;
  const std::string path = dir.file("gone.avi");
  AviWriter writer;
  ASSERT_EQ(writer.init(path.c_str(), 4, 2, 30, 1, 0), 1);
  uint8_t frame[8] = {1, 2, 3, 4};
  ASSERT_EQ(writer.write_frame(frame, 4, 16), FrameWrite::kWritten);
  fs::remove(path);  // the open stream still writes; the reopen by name fails
  testing::internal::CaptureStdout();
  EXPECT_EQ(writer.flush(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to write output file " + path + "\n");
}

// ---------------------------------------------------------------------------------------
// OpenDML.

struct Walked {
  std::vector<uint64_t> riff_starts;
  std::vector<std::vector<size_t>> list_frames;  // frame numbers per RIFF list
  std::vector<uint64_t> ix00_pos;
  std::vector<uint32_t> ix00_entries;
  uint32_t total = 0;
};

// Walks a file the writer produced in the OpenDML layout and checks every structure
// against the frames that went in. Fails the test with the place of the first mismatch.
void check_odml_file(const std::vector<uint8_t>& file, const std::vector<Frame>& frames,
                     uint64_t riff_limit, Walked& walked) {
  SCOPED_TRACE("OpenDML walk");
  size_t next_frame = 0;
  uint64_t pos = 0;
  int32_t max_chunk = 0;
  for (const Frame& f : frames) max_chunk = std::max<int32_t>(max_chunk, int32_t(f.data.size()) + 4);
  while (pos < file.size()) {
    const size_t list_no = walked.riff_starts.size();
    SCOPED_TRACE("RIFF list " + std::to_string(list_no) + " at " + std::to_string(pos));
    ASSERT_EQ(pos % 2, 0u);
    ASSERT_EQ(fourcc(file, pos), "RIFF");
    const uint64_t riff_end = pos + 8 + le32(file, pos + 4);
    ASSERT_LE(riff_end, file.size());
    ASSERT_LE(riff_end - pos, riff_limit);
    ASSERT_EQ(fourcc(file, pos + 8), list_no == 0 ? "AVI " : "AVIX");
    walked.riff_starts.push_back(pos);
    walked.list_frames.emplace_back();
    uint64_t p = pos + 12;
    if (list_no == 0) {
      ASSERT_EQ(fourcc(file, p), "LIST");
      ASSERT_EQ(fourcc(file, p + 8), "hdrl");
      p += 8 + le32(file, p + 4);
      ASSERT_EQ(fourcc(file, p), "JUNK");  // the credit
      p += 8 + le32(file, p + 4);
      ASSERT_EQ(p, 0x2000u);
    }
    ASSERT_EQ(fourcc(file, p), "LIST");
    ASSERT_EQ(fourcc(file, p + 8), "movi");
    const uint64_t movi = p;
    const uint64_t movi_end = p + 8 + le32(file, p + 4);
    ASSERT_LE(movi_end, riff_end);
    p += 12;
    std::vector<uint64_t> chunks;
    while (p < movi_end && fourcc(file, p) == "00dc") {
      const uint32_t size = le32(file, p + 4);
      ASSERT_LT(next_frame, frames.size());
      const Frame& f = frames[next_frame];
      ASSERT_EQ(size, f.data.size()) << "frame " << next_frame;
      ASSERT_LE(p + 8 + size, movi_end);
      ASSERT_TRUE(std::equal(f.data.begin(), f.data.end(), file.begin() + long(p) + 8))
          << "frame " << next_frame;
      chunks.push_back(p);
      walked.list_frames.back().push_back(next_frame++);
      p += 8 + (uint64_t(size) + 3) / 4 * 4;
    }
    // The standard index ends the 'movi' list.
    ASSERT_EQ(fourcc(file, p), "ix00");
    const uint32_t cb = le32(file, p + 4);
    ASSERT_EQ(p + 8 + cb, movi_end);
    ASSERT_EQ(le16(file, p + 8), 2);
    ASSERT_EQ(file[p + 10], 0);
    ASSERT_EQ(file[p + 11], 1);
    const uint32_t n = le32(file, p + 12);
    ASSERT_EQ(n, chunks.size());
    ASSERT_EQ(cb, 24 + 8 * n);
    ASSERT_EQ(fourcc(file, p + 16), "00dc");
    const uint64_t base = le64(file, p + 20);
    EXPECT_EQ(base, movi);
    EXPECT_EQ(le32(file, p + 28), 0u);
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t data = base + le32(file, p + 32 + 8 * i);
      const uint32_t dw_size = le32(file, p + 36 + 8 * i);
      const Frame& f = frames[walked.list_frames.back()[i]];
      ASSERT_EQ(data - 8, chunks[i]) << "entry " << i;
      ASSERT_EQ(fourcc(file, data - 8), "00dc");
      EXPECT_EQ(dw_size & 0x7FFFFFFFu, le32(file, data - 4)) << "entry " << i;
      EXPECT_EQ((dw_size >> 31) != 0, (f.flags & 0x10) == 0) << "entry " << i;
    }
    walked.ix00_pos.push_back(p);
    walked.ix00_entries.push_back(n);
    p = movi_end;
    if (list_no == 0) {
      // idx1 covers exactly the first list's frames; no closing pad follows it.
      ASSERT_EQ(fourcc(file, p), "idx1");
      ASSERT_EQ(le32(file, p + 4), 16 * chunks.size());
      for (size_t i = 0; i < chunks.size(); ++i) {
        const size_t e = p + 8 + 16 * i;
        const Frame& f = frames[i];
        EXPECT_EQ(fourcc(file, e), "00dc");
        EXPECT_EQ(le32(file, e + 4), uint32_t(f.flags));
        EXPECT_EQ(le32(file, e + 8), chunks[i] - 8200);
        EXPECT_EQ(le32(file, e + 12), (f.data.size() + 3) / 4 * 4);
      }
      p += 8 + 16 * chunks.size();
      EXPECT_EQ(le32(file, 0x2004), movi_end - 0x2008);
      EXPECT_EQ(le32(file, 0x30), chunks.size()) << "avih dwTotalFrames";
    }
    ASSERT_EQ(p, riff_end);
    pos = riff_end;
  }
  ASSERT_EQ(pos, file.size());
  ASSERT_EQ(next_frame, frames.size());
  walked.total = uint32_t(next_frame);

  // The super index in place of the reserved chunk.
  ASSERT_EQ(fourcc(file, 0xD4), "indx");
  ASSERT_EQ(le32(file, 0xD8), 4120u);
  EXPECT_EQ(le16(file, 0xDC), 4);
  EXPECT_EQ(file[0xDE], 0);
  EXPECT_EQ(file[0xDF], 0);
  ASSERT_EQ(le32(file, 0xE0), walked.riff_starts.size());
  EXPECT_EQ(fourcc(file, 0xE4), "00dc");
  for (size_t off = 0xE8; off < 0xF4; ++off) EXPECT_EQ(file[off], 0);
  for (size_t i = 0; i < 256; ++i) {
    const size_t e = 0xF4 + 16 * i;
    if (i < walked.ix00_pos.size()) {
      EXPECT_EQ(le64(file, e), walked.ix00_pos[i]) << "super index entry " << i;
      EXPECT_EQ(fourcc(file, le64(file, e)), "ix00");
      EXPECT_EQ(le32(file, e + 8), 32 + 8 * walked.ix00_entries[i]) << "super index entry " << i;
      EXPECT_EQ(le32(file, e + 12), walked.ix00_entries[i]) << "super index entry " << i;
    } else {
      for (size_t k = 0; k < 16; ++k) ASSERT_EQ(file[e + k], 0) << "unused entry " << i;
    }
  }
  EXPECT_EQ(le32(file, 0x1108), walked.total) << "dmlh";
  EXPECT_EQ(le32(file, 0x8C), walked.total) << "strh dwLength";
  EXPECT_EQ(le32(file, 0x90), uint32_t(max_chunk));
  EXPECT_EQ(le32(file, 0x04), walked.riff_starts.size() > 1 ? walked.riff_starts[1] - 8
                                                             : file.size() - 8);
}

std::vector<Frame> random_frames(size_t count, size_t max_size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Frame> frames;
  for (size_t i = 0; i < count; ++i)
    frames.push_back(make_frame(rng() % (max_size + 1), rng(), (rng() % 4) ? 16 : 0));
  return frames;
}

struct OdmlCase {
  uint64_t limit;
  size_t count;
  size_t max_size;  // frame sizes 0..max_size; fixed when count_fixed is set
  bool fixed;
  uint32_t seed;
};

TEST(AviOpenDml, MultipleRiffLists) {
  const OdmlCase cases[] = {
      {1 << 20, 120, 60000, false, 1},  {1 << 20, 40, 100000, true, 2},
      {300000, 300, 9000, false, 3},    {(1 << 20) + 2, 70, 65537, true, 4},
      {200000, 2000, 300, false, 5},    {64 * 1024, 100, 16000, false, 6},
  };
  for (const OdmlCase& c : cases) {
    SCOPED_TRACE("limit=" + std::to_string(c.limit) + " seed=" + std::to_string(c.seed));
    TempDir dir;
    std::vector<Frame> frames;
    if (c.fixed) {
      for (size_t i = 0; i < c.count; ++i) frames.push_back(make_frame(c.max_size, uint32_t(i)));
    } else {
      frames = random_frames(c.count, c.max_size, c.seed);
    }
    const WriteResult r = write_avi(dir.file("m.avi"), Params{}, frames, c.limit);
    ASSERT_EQ(r.init, 1);
    for (FrameWrite w : r.frames) ASSERT_EQ(w, FrameWrite::kWritten);
    ASSERT_EQ(r.flush, 1);
    EXPECT_EQ(r.out, "");
    const std::vector<uint8_t> file = read_file(dir.file("m.avi"));
    Walked walked;
    check_odml_file(file, frames, c.limit, walked);
    EXPECT_GE(walked.riff_starts.size(), 2u);
  }
}

// Where the first list has to end, as the writer decides: both the plain ending and the
// OpenDML ending of the frames so far must fit.
uint64_t first_list_need(const std::vector<Frame>& frames) {
  uint64_t e = 8204;
  for (const Frame& f : frames) e += 8 + (f.data.size() + 3) / 4 * 4;
  const uint64_t n = frames.size();
  const uint64_t plain = (e + 8 + 16 * n + 4 + 1024) / 1024 * 1024;
  const uint64_t odml = e + 32 + 8 * n + 8 + 16 * n;
  return std::max(plain, odml);
}

TEST(AviOpenDml, JustBelowTheLimitStaysPlain) {
  const std::vector<std::vector<size_t>> sets = {
      {100, 2, 101}, {5000, 5000, 5000, 17}, {0},    {300000, 1, 2, 3, 4, 5, 6, 7, 8},
      {1000, 1000},  {20, 20, 20, 20, 996},  {4000, 4000},
  };
  int switched = 0;
  for (const auto& sizes : sets) {
    std::vector<Frame> frames;
    for (size_t i = 0; i < sizes.size(); ++i) frames.push_back(make_frame(sizes[i], uint32_t(i)));
    const Params s;
    const uint64_t need = first_list_need(frames);
    SCOPED_TRACE("frames=" + std::to_string(frames.size()) + " need=" + std::to_string(need));
    TempDir dir;
    const WriteResult fits = write_avi(dir.file("fit.avi"), s, frames, need);
    ASSERT_EQ(fits.flush, 1);
    const std::vector<uint8_t> plain = read_file(dir.file("fit.avi"));
    EXPECT_EQ(plain, expected_plain_file(s, usec_of(s), frames));
    EXPECT_LE(plain.size(), need);

    // One byte less and the last frame goes to an 'AVIX' list, where the frames before
    // it still fit the first list.
    if (frames.size() < 2) continue;
    const std::vector<Frame> before(frames.begin(), frames.end() - 1);
    if (first_list_need(before) > need - 1) continue;
    ++switched;
    const WriteResult over = write_avi(dir.file("over.avi"), s, frames, need - 1);
    ASSERT_EQ(over.flush, 1);
    for (FrameWrite w : over.frames) ASSERT_EQ(w, FrameWrite::kWritten);
    Walked walked;
    check_odml_file(read_file(dir.file("over.avi")), frames, need - 1, walked);
    ASSERT_EQ(walked.riff_starts.size(), 2u);
    EXPECT_EQ(walked.list_frames[1].size(), 1u);
  }
  EXPECT_GE(switched, 2);
}

TEST(AviOpenDml, SuperIndexFullAt256Lists) {
  TempDir dir;
  const std::string path = dir.file("cap.avi");
  // 16 KiB lists of 4,000-byte frames: two in the first (its closing pad then ends at
  // exactly 16,384), four in each 'AVIX' (24 + 4 x 4,008 + 64 = 16,120), so the 256th
  // list is full after 2 + 255 x 4 = 1,022 frames.
  std::vector<Frame> frames;
  for (int i = 0; i < 1030; ++i) frames.push_back(make_frame(4000, uint32_t(i), i % 2 ? 16 : 0));
  AviWriter writer;
  writer.riff_limit = 16 * 1024;
  ASSERT_EQ(writer.init(path.c_str(), 4, 2, 30, 1, 1), 1);
  std::vector<uint8_t> buffer(4000 + kPadSlack);
  size_t written = 0;
  for (; written < frames.size(); ++written) {
    std::memcpy(buffer.data(), frames[written].data.data(), 4000);
    testing::internal::CaptureStdout();
    const FrameWrite w = writer.write_frame(buffer.data(), 4000, frames[written].flags);
    const std::string out = testing::internal::GetCapturedStdout();
    if (w != FrameWrite::kWritten) {
      EXPECT_EQ(w, FrameWrite::kFull);
      EXPECT_EQ(out, "The AVI file " + path +
                         " cannot hold more frames: its index is full at 1022 frames\n");
      break;
    }
    ASSERT_EQ(out, "");
  }
  EXPECT_EQ(written, 1022u);
  // Later calls are refused quietly.
  testing::internal::CaptureStdout();
  EXPECT_EQ(writer.write_frame(buffer.data(), 10, 16), FrameWrite::kFull);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(writer.flush(), 1);
  frames.resize(written);
  Walked walked;
  check_odml_file(read_file(path), frames, 16 * 1024, walked);
  EXPECT_EQ(walked.riff_starts.size(), 256u);
  EXPECT_EQ(walked.list_frames[0].size(), 2u);
}

// A frame too large for any RIFF list is refused with kFull and a message; the frames
// before it make a plain file.
TEST(AviOpenDml, FrameLargerThanAList) {
  const struct {
    const char* name;
    std::vector<size_t> sizes;
    uint64_t limit;
    const char* message;  // after "Frame ", without the file name
  } cases[] = {
      {"third frame", {1000, 2000, 300000}, 256 * 1024,
       "Frame 3 (300000 bytes) is too large for a RIFF list of the AVI file "},
      {"first frame", {20000}, 16 * 1024,
       "Frame 1 (20000 bytes) is too large for a RIFF list of the AVI file "},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.file("huge.avi");
    const Params s;
    std::vector<Frame> frames;
    for (size_t size : c.sizes) frames.push_back(make_frame(size, uint32_t(frames.size() + 1)));
    const WriteResult r = write_avi(path, s, frames, c.limit);
    std::vector<FrameWrite> want(frames.size(), FrameWrite::kWritten);
    want.back() = FrameWrite::kFull;
    EXPECT_EQ(r.frames, want) << "case=" << c.name;
    EXPECT_EQ(r.out, c.message + path + "\n") << "case=" << c.name;
    ASSERT_EQ(r.flush, 1) << "case=" << c.name;
    frames.pop_back();
    EXPECT_EQ(read_file(path), expected_plain_file(s, usec_of(s), frames)) << "case=" << c.name;
  }
}

}  // namespace
