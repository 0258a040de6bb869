// End-to-end runs of vizudec (its round trips with zoduviv are in driver_test): other
// writers' padded DIB rows, damaged frames named by -t and stopping a decode, OpenDML input
// and output past 1 GiB, the command line, its messages and exit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testbytes::Bytes;
using testfiles::read_file;
using testfiles::RunResult;
using testfiles::TempDir;

RunResult vizudec(const std::vector<std::string>& args) {
  return testfiles::run(testfiles::binary("VIZUDEC_BIN"), args, {"ZODUVIV_THREADS=1"});
}

RunResult zoduviv(const std::vector<std::string>& args) {
  return testfiles::run(testfiles::binary("ZODUVIV_BIN"), args, {"ZODUVIV_THREADS=1"});
}

std::string Info(const std::string& path, int w, int h, bool compressed, int frames) {
  return path + ": " + std::to_string(w) + " x " + std::to_string(h) + ", " +
         (compressed ? "Vozodiva compressed" : "uncompressed") + ", " + std::to_string(frames) + " frames\n";
}

testmov::MovieRecipe Movie(int width, int height, int frames, int noise) {
  testmov::MovieRecipe recipe;
  recipe.width = width, recipe.height = height;
  for (int i = 0; i < frames; ++i) recipe.frames.push_back(testmov::make_frame(width, height, 11 + uint32_t(i), noise));
  return recipe;
}

// Other writers pad DIB rows to 4 bytes; the copy packs them as zoduviv writes them.
TEST(VizudecRoundTrip, DibWithPaddedRows) {
  TempDir dir;
  const int w = 5, h = 3;  // rows of 15 bytes, padded to 16
  AviWriter padded, packed;
  ASSERT_EQ(padded.init(dir.file("p.avi").c_str(), w, h, 30, 1, 0), 1);
  ASSERT_EQ(packed.init(dir.file("u.avi").c_str(), w, h, 30, 1, 0), 1);
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes frame = testmov::make_frame(w, h, i, 90), rows(16 * h + 3, 0xEE);
    for (int y = 0; y < h; ++y) std::memcpy(&rows[size_t(y) * 16], &frame[size_t(y) * 15], 15);
    frame.resize(frame.size() + 3);
    ASSERT_EQ(padded.write_frame(rows.data(), 16 * h, 0x10), FrameWrite::kWritten);
    ASSERT_EQ(packed.write_frame(frame.data(), 15 * h, 0x10), FrameWrite::kWritten);
  }
  ASSERT_EQ(padded.flush() + packed.flush(), 2);
  ASSERT_EQ(vizudec({dir.file("p.avi"), dir.file("d.avi")}).status, 0);
  EXPECT_TRUE(read_file(dir.file("d.avi")) == read_file(dir.file("u.avi")));
}

// A compressed file of 6 noisy key frames, damaged one way at a time: -t names the frame
// (1-based) and why and exits 1; decoding stops there with a valid file of the frames
// before it.
TEST(VizudecCheck, NamesTheDamagedFrame) {
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), Movie(16, 8, 6, 60)));
  ASSERT_EQ(zoduviv({dir.file("m.mov"), dir.file("c.avi")}).status, 0);
  const Bytes good = read_file(dir.file("c.avi"));
  const testfiles::AviFile avi = testfiles::read_avi_bytes(good);
  ASSERT_TRUE(avi.ok && avi.frames.size() == 6) << avi.error;
  std::vector<uint64_t> at;
  std::vector<uint32_t> size;
  for (const AviFrame& f : avi.info.frames) at.push_back(f.offset), size.push_back(f.size);
  const std::string undecodable = "it does not decode as a Vozodiva frame",
                    mismatch = "its chunk header does not match the index";
  const struct {
    std::function<void(Bytes&)> damage;
    int frame;
    std::string reason;
  } kCases[] = {
      {[&](Bytes& b) { b[at[2] - 6] = 'x'; }, 3, mismatch},
      {[&](Bytes& b) { b[at[1]] = 9; }, 2, undecodable},
      {[&](Bytes& b) { b.resize(at[4] + size[4] / 2); }, 5, "the file ends inside its chunk"},
      {[&](Bytes& b) { b.resize(at[5] - 8); }, 6, "the file ends before its chunk"},
      {[&](Bytes& b) { testbytes::put32(b, at[2] + 1, size[2] + 40); }, 3, undecodable},  // stream 2 past the frame
      {[&](Bytes& b) { b[at[5] + 9] = 0x7F; }, 6, undecodable},                           // channel stream 1's method
  };
  const std::string bad = dir.file("bad.avi"), d = dir.file("d.avi");
  for (const auto& k : kCases) {
    Bytes b = good;
    k.damage(b);
    ASSERT_TRUE(testfiles::write_file(bad, b));
    const std::string named = "Frame " + std::to_string(k.frame) + " of 6 is damaged: " + k.reason + ".\n";
    const RunResult t = vizudec({"-t", bad});
    EXPECT_EQ(t.status, 1) << named;
    EXPECT_EQ(t.out, Info(bad, 16, 8, true, 6) + named);
    if (k.reason != undecodable) continue;
    const RunResult r = vizudec({bad, d});
    EXPECT_EQ(r.status, 1) << named;
    EXPECT_EQ(r.out, Info(bad, 16, 8, true, 6) + "Writing " + d + ", this may take a while...\n" + named +
                         "The output file " + d + " is incomplete: it holds only the " + std::to_string(k.frame - 1) +
                         " frames before it.\n");
    const testfiles::AviFile out = testfiles::read_avi_bytes(read_file(d));
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.info.compression, 0u);
    EXPECT_EQ(out.frames.size(), size_t(k.frame - 1)) << named;
  }
}

// Decoding a small file of solid frames (itself in 'AVIX' lists, written with a lowered
// RIFF limit) whose decoded size passes 1 GiB gives the OpenDML file that the writer makes
// of the same frames with its default limit, as zoduviv -u does.
TEST(VizudecOpenDml, LargeOutputFromSolidFrames) {
  TempDir dir;
  const int w = 1024, h = 768, n = 480;  // 1.13 GB of DIB frames
  const size_t frame = size_t(w) * h * 3;
  AviWriter c, u;
  c.riff_limit = 12 * 1024;
  ASSERT_EQ(c.init(dir.file("c.avi").c_str(), w, h, 25, 1, 1) + u.init(dir.file("u.avi").c_str(), w, h, 25, 1, 0), 2);
  Bytes pixels(frame + 3);
  for (int i = 0; i < n; ++i) {
    Bytes solid = {5, uint8_t(i * 7), 0, 0, 0};
    ASSERT_EQ(c.write_frame(solid.data(), 2, 0x10), FrameWrite::kWritten);
    std::memset(pixels.data(), solid[1], frame);
    ASSERT_EQ(u.write_frame(pixels.data(), int(frame), 0x10), FrameWrite::kWritten);
  }
  ASSERT_EQ(c.flush() + u.flush(), 2);
  const Bytes cb = read_file(dir.file("c.avi"));
  ASSERT_EQ(testbytes::fourcc(cb, 8 + testbytes::le32(cb, 4) + 8), "AVIX");
  ASSERT_EQ(vizudec({dir.file("c.avi"), dir.file("d.avi")}).status, 0);
  EXPECT_EQ(testfiles::run("/usr/bin/cmp", {dir.file("d.avi"), dir.file("u.avi")}).status, 0);
  // The decoded file reads back as OpenDML: every frame found, 'AVIX' lists and all.
  EXPECT_EQ(vizudec({"-t", dir.file("d.avi")}).out,
            Info(dir.file("d.avi"), w, h, false, n) + "Checked 480 frames, all decode cleanly\n");
}

TEST(VizudecCommandLine, MessagesAndExitCodes) {
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), Movie(8, 4, 2, 9)));
  ASSERT_EQ(zoduviv({dir.file("m.mov"), dir.file("c.avi")}).status, 0);
  const std::string c = dir.file("c.avi"), d = dir.file("d.avi"), none = dir.file("none.avi"), mov = dir.file("m.mov");
  ASSERT_EQ(symlink(c.c_str(), dir.file("link.avi").c_str()) + link(c.c_str(), dir.file("hard.avi").c_str()), 0);
  const std::string usage =
      "Usage: vizudec <input.avi> <output.avi>\n       vizudec -t <input.avi>\n"
      "       vizudec -c <movie.mov> <input.avi>\n"
      "Decodes a Vozodiva compressed avi to an uncompressed avi, or with -t checks\n"
      "that every frame of it decodes, without writing anything, or with -c checks\n"
      "that its frames are exactly the frames of the movie it was made from.\n";
  const std::string same = " is the input file; choose another name.\n", unopened = "Unable to open the input file.\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } kCases[] = {
      {{}, usage}, {{"a.avi"}, usage}, {{"-t"}, usage}, {{"a", "b", "c"}, usage}, {{"-t", "a", "b"}, usage}, {{"-c", "a"}, usage},
      {{"-c", none, c}, unopened}, {{"-c", mov, none}, unopened},
      {{"-x", "a.avi"}, "Unknown option: \"-x\"\n"}, {{"-t", none}, unopened}, {{none, d}, unopened},
      {{"-t", dir.path()}, unopened}, {{dir.path(), d}, unopened}, {{mov, d},
       "Unable to read " + mov +
           " as a Vozodiva or uncompressed AVI file: it is not an AVI file (no RIFF 'AVI ' header).\n"},
      {{c, c}, "The output file " + c + same},
      {{c, dir.file("link.avi")}, "The output file " + dir.file("link.avi") + same},
      {{c, dir.file("hard.avi")}, "The output file " + dir.file("hard.avi") + same},
      {{c, dir.path() + "/./c.avi"}, "The output file " + dir.path() + "/./c.avi" + same},
      {{c, dir.file("no/dir/d.avi")},
       Info(c, 8, 4, true, 2) + "Unable to open output file " + dir.file("no/dir/d.avi") + "\n"},
  };
  const Bytes before = read_file(c);
  for (const auto& k : kCases) {
    const RunResult r = vizudec(k.args);
    EXPECT_EQ(r.out, k.out) << "args=" << k.args.size();
    EXPECT_EQ(r.status, 1) << k.out;
    EXPECT_EQ(r.err, "") << k.out;
  }
  EXPECT_FALSE(testfiles::file_exists(d));
  EXPECT_TRUE(read_file(c) == before);
}

// vizudec -c: a real conversion in both modes is equal, and each kind of difference is
// named: a changed byte of a -u file (by frame and pixel from the top left), a compressed
// frame that decodes but is another picture, a missing last frame, another geometry.
TEST(VizudecCompare, ProvesOrNamesTheDifference) {
  TempDir dir;
  const int w = 7, h = 5;
  testmov::MovieRecipe movie = Movie(w, h, 3, 40);
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), movie));
  testmov::MovieRecipe other = movie;
  other.frames[1][(1 * w + 3) * 3 + 2] ^= 0x40;  // frame 2, column 3, row 1: blue
  ASSERT_TRUE(testmov::write_movie(dir.file("other.mov"), other));
  testmov::MovieRecipe shorter = movie;
  shorter.frames.pop_back();
  ASSERT_TRUE(testmov::write_movie(dir.file("short.mov"), shorter));
  ASSERT_TRUE(testmov::write_movie(dir.file("narrow.mov"), Movie(w - 1, h, 3, 40)));
  for (const char* name : {"m", "other", "short", "narrow"}) {
    const std::string mov = dir.file(std::string(name) + ".mov");
    ASSERT_EQ(zoduviv({mov, dir.file(std::string(name) + "_c.avi")}).status, 0) << name;
    ASSERT_EQ(zoduviv({"-u", mov, dir.file(std::string(name) + "_u.avi")}).status, 0) << name;
  }
  // One byte of the -u file changed: frame 3, column 5, row 0 (the DIB's last row).
  Bytes u = read_file(dir.file("m_u.avi"));
  const testfiles::AviFile parsed = testfiles::read_avi_bytes(u);
  ASSERT_TRUE(parsed.ok);
  u[parsed.info.frames[2].offset + (size_t(h - 1) * w + 5) * 3 + 1] ^= 1;
  ASSERT_TRUE(testfiles::write_file(dir.file("changed_u.avi"), u));

  const std::string differs = " differs from the movie's: first at column ";
  const struct {
    const char* avi;
    int status;
    std::string out;
  } cases[] = {
      {"m_c.avi", 0, "All 3 frames equal the movie's frames\n"},
      {"m_u.avi", 0, "All 3 frames equal the movie's frames\n"},
      {"changed_u.avi", 1, "Frame 3 of 3" + differs + "5, row 0 (counted from 0 at the top left of the picture).\n"},
      {"other_c.avi", 1, "Frame 2 of 3" + differs + "3, row 1 (counted from 0 at the top left of the picture).\n"},
      {"short_c.avi", 1, "The AVI file holds 2 frames, the movie 3.\n"},
      {"narrow_u.avi", 1, "The AVI file's frames are 6 x 5 pixels, the movie's 7 x 5.\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = vizudec({"-c", dir.file("m.mov"), dir.file(c.avi)});
    EXPECT_EQ(r.status, c.status) << c.avi;
    EXPECT_EQ(r.out, c.out) << c.avi;
  }
}

}  // namespace
