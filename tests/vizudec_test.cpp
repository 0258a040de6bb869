// End-to-end runs of vizudec on files that zoduviv writes: decoding gives byte for byte
// the file that zoduviv -u writes, -t passes every such file and names the damaged frame
// of damaged ones; the command line, its messages and exit codes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "avi/avi.h"
#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testfiles::RunResult;
using testfiles::TempDir;
using testbytes::put32;

// The binaries come from VIZUDEC_BIN and ZODUVIV_BIN; where only one of them reaches the
// test, the other is found beside it in the build tree (driver/zoduviv, tools/vizudec).
std::string binary_path(const char* variable, const char* other, const std::string& own_tail,
                        const std::string& other_tail) {
  const std::string own = testfiles::binary(variable);
  if (!own.empty()) return own;
  const std::string path = testfiles::binary(other);
  if (path.size() >= other_tail.size() &&
      path.compare(path.size() - other_tail.size(), other_tail.size(), other_tail) == 0)
    return path.substr(0, path.size() - other_tail.size()) + own_tail;
  return "";
}

RunResult vizudec(const std::vector<std::string>& args) {
  static const std::string bin =
      binary_path("VIZUDEC_BIN", "ZODUVIV_BIN", "tools/vizudec", "driver/zoduviv");
  return testfiles::run(bin, args, {"ZODUVIV_THREADS=1"});
}

RunResult zoduviv(const std::vector<std::string>& args) {
  static const std::string bin =
      binary_path("ZODUVIV_BIN", "VIZUDEC_BIN", "driver/zoduviv", "tools/vizudec");
  return testfiles::run(bin, args, {"ZODUVIV_THREADS=1"});
}

// The source tree: ZODUVIV_SOURCE_DIR, or where this file was compiled from.
std::string source_dir() {
  if (const char* dir = std::getenv("ZODUVIV_SOURCE_DIR")) return dir;
  const std::string file = __FILE__;
  const std::string tail = "/tests/vizudec_test.cpp";
  return file.size() > tail.size() ? file.substr(0, file.size() - tail.size()) : ".";
}

const char kUsage[] =
    "Usage: vizudec <input.avi> <output.avi>\n"
    "       vizudec -t <input.avi>\n"
    "Decodes a Vozodiva compressed avi to an uncompressed avi, or with -t checks\n"
    "that every frame of it decodes, without writing anything.\n";

std::string info_line(const std::string& path, int w, int h, const char* kind, int frames) {
  return path + ": " + std::to_string(w) + " x " + std::to_string(h) + ", " + kind + ", " +
         std::to_string(frames) + " frames\n";
}

testmov::MovieRecipe noisy_movie(int width, int height, int frames, uint32_t seed, int noise,
                               const char* format = "raw ") {
  testmov::MovieRecipe recipe;
  recipe.width = width;
  recipe.height = height;
  recipe.format = format;
  for (int i = 0; i < frames; ++i)
    recipe.frames.push_back(testmov::make_frame(width, height, seed + uint32_t(i), noise));
  return recipe;
}

struct Converted {
  std::string mov, c, u;
};

// Writes the movie and converts it both ways.
Converted convert_both(const TempDir& dir, const testmov::MovieRecipe& recipe) {
  Converted f{dir.file("m.mov"), dir.file("c.avi"), dir.file("u.avi")};
  EXPECT_TRUE(testmov::write_movie(f.mov, recipe));
  const RunResult rc = zoduviv({f.mov, f.c});
  EXPECT_EQ(rc.status, 0) << rc.out;
  const RunResult ru = zoduviv({"-u", f.mov, f.u});
  EXPECT_EQ(ru.status, 0) << ru.out;
  return f;
}

void expect_round_trip(const testmov::MovieRecipe& recipe, const std::string& what) {
  TempDir dir;
  const Converted f = convert_both(dir, recipe);
  const int n = int(recipe.frames.size());
  const std::string d = dir.file("d.avi");

  const RunResult r = vizudec({f.c, d});
  EXPECT_EQ(r.status, 0) << what << "\n" << r.out;
  EXPECT_EQ(r.out, info_line(f.c, recipe.width, recipe.height, "Vozodiva compressed", n) +
                       "Writing " + d + ", this may take a while...\nFinished writing file " + d + "\n")
      << what;
  EXPECT_EQ(r.err, "") << what;
  const Bytes u = testfiles::read_file(f.u);
  ASSERT_FALSE(u.empty()) << what;
  EXPECT_TRUE(testfiles::read_file(d) == u) << what << ": d.avi differs from u.avi";

  const RunResult t = vizudec({"-t", f.c});
  EXPECT_EQ(t.status, 0) << what << "\n" << t.out;
  EXPECT_EQ(t.out, info_line(f.c, recipe.width, recipe.height, "Vozodiva compressed", n) +
                       "Checked " + std::to_string(n) + " frames, all decode cleanly\n")
      << what;

  // An uncompressed input is copied through the same way.
  const std::string d2 = dir.file("d2.avi");
  const RunResult r2 = vizudec({f.u, d2});
  EXPECT_EQ(r2.status, 0) << what << "\n" << r2.out;
  EXPECT_TRUE(testfiles::read_file(d2) == u) << what << ": copy of u.avi differs";
  const RunResult t2 = vizudec({"-t", f.u});
  EXPECT_EQ(t2.status, 0) << what << "\n" << t2.out;
  EXPECT_EQ(t2.out, info_line(f.u, recipe.width, recipe.height, "uncompressed", n) + "Checked " +
                        std::to_string(n) + " frames, all decode cleanly\n")
      << what;
}

// Geometries, both movie formats, noise levels, solid frames, frame rates and a movie
// without frames.
TEST(VizudecRoundTrip, MatchesZoduvivUncompressed) {
  struct Case { int w, h, frames, noise; const char* format; };
  const Case cases[] = {
      {4, 2, 3, 8, "raw "}, {13, 7, 5, 40, "raw "}, {1, 1, 2, 0, "raw "}, {17, 9, 4, 255, "WRLE"},
      {64, 48, 6, 3, "raw "}, {3, 5, 1, 0, "WRLE"}, {320, 240, 2, 12, "raw "}, {9, 1, 3, 100, "raw "},
      {8, 8, 0, 0, "raw "},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    expect_round_trip(noisy_movie(c.w, c.h, c.frames, seed++, c.noise, c.format),
                      "case=" + std::to_string(c.w) + "x" + std::to_string(c.h) + " " + c.format +
                          " frames=" + std::to_string(c.frames) + " noise=" + std::to_string(c.noise));
  }
  for (int32_t duration : {600, 20, 1001}) {
    testmov::MovieRecipe recipe = noisy_movie(6, 4, 2, 3, 10);
    recipe.time_scale = duration == 1001 ? 30000 : 600;
    recipe.durations = {duration};
    expect_round_trip(recipe, "case=duration " + std::to_string(duration));
  }
  testmov::MovieRecipe solid;
  solid.width = 10;
  solid.height = 6;
  Bytes coloured(180);
  for (size_t i = 0; i < coloured.size(); ++i) coloured[i] = uint8_t(1 + i % 3);
  solid.frames = {Bytes(180, 77), coloured, Bytes(180, 0), testmov::make_frame(10, 6, 5, 30)};
  expect_round_trip(solid, "case=solid frames");
}

TEST(VizudecRoundTrip, SampleMovie) {
  TempDir dir;
  const std::string mov = source_dir() + "/samples/sample.mov";
  ASSERT_EQ(zoduviv({mov, dir.file("c.avi")}).status, 0);
  ASSERT_EQ(zoduviv({"-u", mov, dir.file("u.avi")}).status, 0);
  ASSERT_EQ(vizudec({dir.file("c.avi"), dir.file("d.avi")}).status, 0);
  EXPECT_TRUE(testfiles::read_file(dir.file("d.avi")) == testfiles::read_file(dir.file("u.avi")));
}

// Other writers pad DIB rows to 4 bytes; the copy packs them as zoduviv writes them.
TEST(VizudecRoundTrip, DibWithPaddedRows) {
  TempDir dir;
  const int w = 5, h = 3;  // rows of 15 bytes, padded to 16
  AviWriter padded;
  ASSERT_EQ(padded.init(dir.file("p.avi").c_str(), w, h, 30, 1, 0), 1);
  AviWriter packed;
  ASSERT_EQ(packed.init(dir.file("u.avi").c_str(), w, h, 30, 1, 0), 1);
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes frame = testmov::make_frame(w, h, i, 90);
    Bytes rows(16 * h + 3, 0xEE);
    for (int y = 0; y < h; ++y) std::memcpy(&rows[size_t(y) * 16], &frame[size_t(y) * 15], 15);
    frame.resize(frame.size() + 3);
    ASSERT_EQ(padded.write_frame(rows.data(), 16 * h, 0x10), FrameWrite::kWritten);
    ASSERT_EQ(packed.write_frame(frame.data(), 15 * h, 0x10), FrameWrite::kWritten);
  }
  ASSERT_EQ(padded.flush(), 1);
  ASSERT_EQ(packed.flush(), 1);
  const RunResult r = vizudec({dir.file("p.avi"), dir.file("d.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(testfiles::read_file(dir.file("d.avi")) == testfiles::read_file(dir.file("u.avi")));
}

// --- Damaged files ---------------------------------------------------------------------

// A compressed file of 6 noisy frames (all key frames, type 4) and where each frame's data
// lies.
struct Damageable {
  TempDir dir;
  std::string c;
  Bytes bytes;
  std::vector<uint64_t> offsets;
  std::vector<uint32_t> sizes;
};

void make_damageable(Damageable& f) {
  const testmov::MovieRecipe recipe = noisy_movie(16, 8, 6, 11, 60);
  ASSERT_TRUE(testmov::write_movie(f.dir.file("m.mov"), recipe));
  f.c = f.dir.file("c.avi");
  ASSERT_EQ(zoduviv({f.dir.file("m.mov"), f.c}).status, 0);
  f.bytes = testfiles::read_file(f.c);
  std::istringstream in(std::string(f.bytes.begin(), f.bytes.end()));
  AviInfo info;
  std::string error;
  ASSERT_TRUE(read_avi(in, f.bytes.size(), info, error)) << error;
  ASSERT_EQ(info.frames.size(), 6u);
  for (const AviFrame& fr : info.frames) {
    ASSERT_EQ(fr.damage, nullptr);
    ASSERT_EQ(f.bytes[fr.offset], 4) << "want a key frame";
    f.offsets.push_back(fr.offset);
    f.sizes.push_back(fr.size);
  }
}

// -t names the one damaged frame (1-based) and why, and exits 1.
TEST(VizudecCheck, NamesTheDamagedFrame) {
  Damageable f;
  make_damageable(f);
  const auto& at = f.offsets;
  const auto& size = f.sizes;
  const std::string undecodable = "it does not decode as a Vozodiva frame";
  const std::string mismatch = "its chunk header does not match the index";
  const struct {
    const char* name;
    std::function<Bytes(Bytes)> damage;
    int frame;
    std::string reason;
  } cases[] = {
      {"chunk id", [&](Bytes b) { b[at[2] - 8 + 2] = 'x'; return b; }, 3, mismatch},
      {"chunk size", [&](Bytes b) { put32(b, at[4] - 4, size[4] + 100); return b; }, 5, mismatch},
      {"type byte", [&](Bytes b) { b[at[1]] = 9; return b; }, 2, undecodable},
      {"streams overwritten",
       [&](Bytes b) {
         for (uint32_t i = 9; i < size[3]; ++i) b[at[3] + i] = 0xff;
         return b;
       },
       4, undecodable},
      {"cut inside frame 5", [&](Bytes b) { b.resize(at[4] + size[4] / 2); return b; }, 5,
       "the file ends inside its chunk"},
      {"cut before frame 6", [&](Bytes b) { b.resize(at[5] - 8); return b; }, 6,
       "the file ends before its chunk"},
      {"stream 2 beyond the frame", [&](Bytes b) { put32(b, at[2] + 1, size[2] + 40); return b; },
       3, undecodable},
      {"stream 3 before stream 2", [&](Bytes b) { put32(b, at[0] + 5, 3); return b; }, 1,
       undecodable},
      {"channel stream 1's method byte", [&](Bytes b) { b[at[5] + 9] = 0x7f; return b; }, 6,
       undecodable},
  };
  const std::string path = f.dir.file("bad.avi");
  for (const auto& c : cases) {
    ASSERT_TRUE(testfiles::write_file(path, c.damage(f.bytes)));
    const RunResult r = vizudec({"-t", path});
    EXPECT_EQ(r.status, 1) << "case=" << c.name;
    EXPECT_EQ(r.out, info_line(path, 16, 8, "Vozodiva compressed", 6) + "Frame " +
                         std::to_string(c.frame) + " of 6 is damaged: " + c.reason + ".\n")
        << "case=" << c.name;
  }
}

TEST(VizudecCheck, DamagedFrameWhileDecodingKeepsAValidPrefix) {
  Damageable f;
  make_damageable(f);
  Bytes b = f.bytes;
  b[f.offsets[3]] = 9;
  const std::string bad = f.dir.file("bad.avi");
  const std::string d = f.dir.file("d.avi");
  ASSERT_TRUE(testfiles::write_file(bad, b));
  const RunResult r = vizudec({bad, d});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, info_line(bad, 16, 8, "Vozodiva compressed", 6) + "Writing " + d +
                       ", this may take a while...\n"
                       "Frame 4 of 6 is damaged: it does not decode as a Vozodiva frame.\n"
                       "The output file " + d + " is incomplete: it holds only the 3 frames before it.\n");
  const Bytes out = testfiles::read_file(d);
  std::istringstream in(std::string(out.begin(), out.end()));
  AviInfo info;
  std::string error;
  ASSERT_TRUE(read_avi(in, out.size(), info, error)) << error;
  EXPECT_EQ(info.compression, 0u);
  ASSERT_EQ(info.frames.size(), 3u);
  for (const AviFrame& fr : info.frames) EXPECT_EQ(fr.damage, nullptr);
}

// --- OpenDML ---------------------------------------------------------------------------

// A compressed file written through CodecInst and AviWriter with a lowered RIFF limit, so
// that it has 'AVIX' lists, decodes to the file AviWriter writes for the raw frames.
TEST(VizudecOpenDml, SmallMultiListInput) {
  TempDir dir;
  const int w = 40, h = 30, n = 40;
  const size_t frame = size_t(w) * h * 3;
  CodecInst codec;
  ASSERT_EQ(codec.CompressBegin(w, h, 24), 0);
  Bytes out(MaxCompressedFrameSize(w, h) + 3);
  AviWriter c;
  c.riff_limit = 64 * 1024;
  ASSERT_EQ(c.init(dir.file("c.avi").c_str(), w, h, 30000, 1001, 1), 1);
  AviWriter u;
  ASSERT_EQ(u.init(dir.file("u.avi").c_str(), w, h, 30000, 1001, 0), 1);
  for (int i = 0; i < n; ++i) {
    Bytes pixels = testmov::make_frame(w, h, uint32_t(i), 200);
    pixels.resize(frame + 3);
    ICCOMPRESS icc;
    icc.input = pixels.data();
    icc.output = out.data();
    ASSERT_EQ(codec.CompressContinue(&icc, 0), 0);
    ASSERT_EQ(c.write_frame(out.data(), int(icc.size), int(icc.flags)), FrameWrite::kWritten);
    ASSERT_EQ(u.write_frame(pixels.data(), int(frame), 0x10), FrameWrite::kWritten);
  }
  ASSERT_EQ(c.flush(), 1);
  ASSERT_EQ(u.flush(), 1);
  const Bytes cb = testfiles::read_file(dir.file("c.avi"));
  ASSERT_EQ(std::string(cb.begin() + long(8 + testfiles::le32(cb, 4) + 8),
                        cb.begin() + long(8 + testfiles::le32(cb, 4) + 12)),
            "AVIX");

  const RunResult r = vizudec({dir.file("c.avi"), dir.file("d.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(testfiles::read_file(dir.file("d.avi")) == testfiles::read_file(dir.file("u.avi")));
  const RunResult t = vizudec({"-t", dir.file("c.avi")});
  EXPECT_EQ(t.status, 0) << t.out;
}

bool same_files(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (true) {
    fa.read(ba.data(), std::streamsize(ba.size()));
    fb.read(bb.data(), std::streamsize(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (fa.gcount() == 0) return true;
    if (std::memcmp(ba.data(), bb.data(), size_t(fa.gcount())) != 0) return false;
  }
}

// Decoding a small file of solid frames whose decoded size passes 1 GiB gives the OpenDML
// file that the writer makes of the same frames with its default limit, as zoduviv -u does.
TEST(VizudecOpenDml, LargeOutputFromSolidFrames) {
  TempDir dir;
  const int w = 1024, h = 768, n = 480;  // 1.13 GB of DIB frames
  const size_t frame = size_t(w) * h * 3;
  AviWriter c;
  ASSERT_EQ(c.init(dir.file("c.avi").c_str(), w, h, 25, 1, 1), 1);
  AviWriter u;
  ASSERT_EQ(u.init(dir.file("u.avi").c_str(), w, h, 25, 1, 0), 1);
  Bytes pixels(frame + 3);
  for (int i = 0; i < n; ++i) {
    const uint8_t v = uint8_t(i * 7);
    Bytes solid = {5, v, 0, 0, 0};
    ASSERT_EQ(c.write_frame(solid.data(), 2, 0x10), FrameWrite::kWritten);
    std::memset(pixels.data(), v, frame);
    ASSERT_EQ(u.write_frame(pixels.data(), int(frame), 0x10), FrameWrite::kWritten);
  }
  ASSERT_EQ(c.flush(), 1);
  ASSERT_EQ(u.flush(), 1);

  const RunResult r = vizudec({dir.file("c.avi"), dir.file("d.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(same_files(dir.file("d.avi"), dir.file("u.avi")));
  // The decoded file reads back as OpenDML: every frame found, 'AVIX' lists and all.
  const RunResult t = vizudec({"-t", dir.file("d.avi")});
  EXPECT_EQ(t.status, 0) << t.out;
  EXPECT_NE(t.out.find("Checked 480 frames, all decode cleanly\n"), std::string::npos) << t.out;
}

// --- Command line ----------------------------------------------------------------------

TEST(VizudecCommandLine, Usage) {
  const std::vector<std::vector<std::string>> cases = {{}, {"a.avi"}, {"-t"}, {"a", "b", "c"},
                                                       {"-t", "a", "b"}};
  for (const auto& args : cases) {
    const RunResult r = vizudec(args);
    EXPECT_EQ(r.out, kUsage) << "args=" << args.size();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
  }
}

TEST(VizudecCommandLine, UnknownOption) {
  const RunResult r = vizudec({"-x", "a.avi"});
  EXPECT_EQ(r.out, "Unknown option: \"-x\"\n");
  EXPECT_EQ(r.status, 1);
}

TEST(VizudecCommandLine, MissingOrUnreadableInput) {
  TempDir dir;
  for (const std::string& in : {dir.file("none.avi"), dir.path()}) {
    const RunResult t = vizudec({"-t", in});
    EXPECT_EQ(t.out, "Unable to open the input file.\n") << in;
    EXPECT_EQ(t.status, 1);
    const RunResult r = vizudec({in, dir.file("d.avi")});
    EXPECT_EQ(r.out, "Unable to open the input file.\n") << in;
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(testfiles::file_exists(dir.file("d.avi")));
  }
}

TEST(VizudecCommandLine, NotAnAviFile) {
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), noisy_movie(4, 2, 1, 1, 0)));
  const RunResult r = vizudec({dir.file("m.mov"), dir.file("d.avi")});
  EXPECT_EQ(r.out, "Unable to read " + dir.file("m.mov") +
                       " as a Vozodiva or uncompressed AVI file: it is not an AVI file (no RIFF "
                       "'AVI ' header).\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(testfiles::file_exists(dir.file("d.avi")));
}

TEST(VizudecCommandLine, OutputThatIsTheInputIsRefused) {
  TempDir dir;
  const Converted f = convert_both(dir, noisy_movie(8, 4, 2, 1, 9));
  const Bytes before = testfiles::read_file(f.c);
  ASSERT_EQ(symlink(f.c.c_str(), dir.file("link.avi").c_str()), 0);
  ASSERT_EQ(link(f.c.c_str(), dir.file("hard.avi").c_str()), 0);
  for (const std::string& out : {f.c, dir.file("link.avi"), dir.file("hard.avi"),
                                 dir.path() + "/./c.avi"}) {
    const RunResult r = vizudec({f.c, out});
    EXPECT_EQ(r.out, "The output file " + out + " is the input file; choose another name.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(testfiles::read_file(f.c) == before) << out;
  }
}

TEST(VizudecCommandLine, UnwritableOutput) {
  TempDir dir;
  const Converted f = convert_both(dir, noisy_movie(8, 4, 2, 1, 9));
  const std::string out = dir.file("no/such/dir/d.avi");
  const RunResult r = vizudec({f.c, out});
  EXPECT_EQ(r.out, info_line(f.c, 8, 4, "Vozodiva compressed", 2) + "Unable to open output file " +
                       out + "\n");
  EXPECT_EQ(r.status, 1);
}

}  // namespace
