// End-to-end runs of vizudec (its round trips with zoduviv are in driver_test): other
// writers' padded DIB rows, damaged frames named by -t and stopping a decode, OpenDML input
// and output past 1 GiB, the command line, its messages and exit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "avi/avi.h"
#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testbytes::Bytes;
using testfiles::read_file;
using testfiles::RunResult;
using testfiles::TempDir;

RunResult Run(const char* program, const std::vector<std::string>& args) {
  return testfiles::run(testfiles::binary(program), args, {"ZODUVIV_THREADS=1"});
}
RunResult vizudec(const std::vector<std::string>& args) { return Run("VIZUDEC_BIN", args); }
RunResult zoduviv(const std::vector<std::string>& args) { return Run("ZODUVIV_BIN", args); }

std::string Info(const std::string& path, int w, int h, bool compressed, int frames) {
  return path + ": " + std::to_string(w) + " x " + std::to_string(h) + ", " +
         (compressed ? "Vozodiva compressed" : "uncompressed") + ", " + std::to_string(frames) +
         " frames\n";
}

testmov::MovieRecipe Movie(int width, int height, int frames, int noise) {
  testmov::MovieRecipe recipe;
  recipe.width = width, recipe.height = height;
  for (uint32_t i = 0; i < uint32_t(frames); ++i)
    recipe.frames.push_back(testmov::make_frame(width, height, 11 + i, noise));
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
// (1-based) and why and exits 1; decoding stops there with a valid file of those before.
TEST(VizudecCheck, NamesTheDamagedFrame) {
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), Movie(16, 8, 6, 60)));
  ASSERT_EQ(zoduviv({dir.file("m.mov"), dir.file("c.avi")}).status, 0);
  const Bytes good = read_file(dir.file("c.avi"));
  const testfiles::AviFile avi = testfiles::read_avi_bytes(good);
  ASSERT_TRUE(avi.ok && avi.frames.size() == 6) << avi.error;
  const std::vector<AviFrame>& f = avi.info.frames;
  const std::string undecodable = "it does not decode as a Vozodiva frame";
  const std::tuple<std::function<void(Bytes&)>, int, std::string> kCases[] = {
      // damage, frame, why
      {[&](Bytes& b) { b[f[2].offset - 6] = 'x'; }, 3, "its chunk header does not match the index"},
      {[&](Bytes& b) { b[f[1].offset] = 9; }, 2, undecodable},
      {[&](Bytes& b) { b.resize(f[4].offset + f[4].size / 2); }, 5,
       "the file ends inside its chunk"},
      {[&](Bytes& b) { b.resize(f[5].offset - 8); }, 6, "the file ends before its chunk"},
      {[&](Bytes& b) { testbytes::put32(b, f[2].offset + 1, f[2].size + 40); }, 3,
       undecodable},                                                    // stream 2
      {[&](Bytes& b) { b[f[5].offset + 9] = 0x7F; }, 6, undecodable}};  // channel stream 1's method
  const std::string bad = dir.file("bad.avi"), d = dir.file("d.avi"),
                    info = Info(bad, 16, 8, true, 6);
  for (const auto& [damage, frame, reason] : kCases) {
    Bytes b = good;
    damage(b);
    ASSERT_TRUE(testfiles::write_file(bad, b));
    const std::string named =
        "Frame " + std::to_string(frame) + " of 6 is damaged: " + reason + ".\n";
    const RunResult t = vizudec({"-t", bad});
    EXPECT_TRUE(t.status == 1 && t.out == info + named) << t.out;
    if (reason != undecodable) continue;
    const RunResult r = vizudec({bad, d});
    EXPECT_TRUE(r.status == 1 && r.out == info + "Writing " + d + ", this may take a while...\n" +
                                              named + "The output file " + d +
                                              " is incomplete: it holds only the " +
                                              std::to_string(frame - 1) + " frames before it.\n")
        << r.out;
    const testfiles::AviFile out = testfiles::read_avi_bytes(read_file(d));
    EXPECT_TRUE(out.ok && out.info.compression == 0 && out.frames.size() == size_t(frame - 1))
        << out.error;
  }
}

// Decoding a small file of solid frames (itself in 'AVIX' lists, by a lowered RIFF limit) to
// past 1 GiB gives the OpenDML file the writer makes of those frames, as zoduviv -u does.
TEST(VizudecOpenDml, LargeOutputFromSolidFrames) {
  TempDir dir;
  const int w = 1024, h = 768, n = 480;  // 1.13 GB of DIB frames
  const size_t frame = size_t(w) * h * 3;
  const std::string cp = dir.file("c.avi"), up = dir.file("u.avi"), d = dir.file("d.avi");
  AviWriter c, u;
  c.riff_limit = 12 * 1024;
  ASSERT_EQ(c.init(cp.c_str(), w, h, 25, 1, 1) + u.init(up.c_str(), w, h, 25, 1, 0), 2);
  Bytes pixels(frame + 3);
  for (int i = 0; i < n; ++i) {
    Bytes solid = {5, uint8_t(i * 7), 0, 0, 0};
    ASSERT_EQ(c.write_frame(solid.data(), 2, 0x10), FrameWrite::kWritten);
    std::memset(pixels.data(), solid[1], frame);
    ASSERT_EQ(u.write_frame(pixels.data(), int(frame), 0x10), FrameWrite::kWritten);
  }
  ASSERT_EQ(c.flush() + u.flush(), 2);
  const Bytes cb = read_file(cp);
  ASSERT_EQ(testbytes::fourcc(cb, 8 + testbytes::le32(cb, 4) + 8), "AVIX");
  ASSERT_EQ(vizudec({cp, d}).status, 0);
  EXPECT_EQ(testfiles::run("/usr/bin/cmp", {d, up}).status, 0);
  // The decoded file reads back as OpenDML: every frame found, 'AVIX' lists and all.
  EXPECT_EQ(vizudec({"-t", d}).out,
            Info(d, w, h, false, n) + "Checked 480 frames, all decode cleanly\n");
}

// Sound chunks come through a decode unchanged and in place: the copy of a compressed file with
// two sound streams (sound first, odd sizes) equals the DIB file written with the same sound;
// -t counts the chunks and names one whose chunk header no longer matches its index entry.
TEST(VizudecSound, CopiedAndChecked) {
  TempDir dir;
  const int w = 8, h = 4;
  const std::string cp = dir.file("c.avi"), up = dir.file("u.avi"), d = dir.file("d.avi");
  AviWriter c, u;
  for (AviWriter* x : {&c, &u})
    ASSERT_EQ(x->add_audio_stream({1, 2, 48000, 16, 4}) + x->add_audio_stream({7, 1, 8000, 8, 1}),
              3);
  ASSERT_EQ(c.init(cp.c_str(), w, h, 25, 1, 1) + u.init(up.c_str(), w, h, 25, 1, 0), 2);
  Bytes pixels(size_t(w) * h * 3 + 3);
  const Bytes odd(3, 0x80);
  for (int i = 0; i < 5; ++i) {
    const Bytes sound(4 * size_t(i + 1), uint8_t(i + 1));
    for (AviWriter* x : {&c, &u}) {
      ASSERT_EQ(x->write_audio(1, sound.data(), uint32_t(sound.size())), FrameWrite::kWritten);
      ASSERT_TRUE(i % 2 == 0 || x->write_audio(2, odd.data(), 3) == FrameWrite::kWritten);
    }
    Bytes solid = {5, uint8_t(i * 7), 0, 0, 0};
    ASSERT_EQ(c.write_frame(solid.data(), 2, 0x10), FrameWrite::kWritten);
    std::memset(pixels.data(), solid[1], pixels.size() - 3);
    ASSERT_EQ(u.write_frame(pixels.data(), w * h * 3, 0x10), FrameWrite::kWritten);
  }
  for (AviWriter* x : {&c, &u}) ASSERT_EQ(x->write_audio(2, odd.data(), 3), FrameWrite::kWritten);
  ASSERT_EQ(c.flush() + u.flush(), 2);
  const RunResult r = vizudec({cp, d});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(testfiles::run("/usr/bin/cmp", {d, up}).status, 0);
  const RunResult t = vizudec({"-t", cp});
  EXPECT_EQ(t.out, Info(cp, w, h, true, 5) +
                       "Checked 5 frames, all decode cleanly\n"
                       "Checked 8 sound chunks of 2 sound streams, all whole\n");
  Bytes bad = read_file(cp);
  bad.at(testfiles::read_avi_bytes(bad).info.audio.at(1).chunks.at(1).offset - 8) = 'X';
  ASSERT_TRUE(testfiles::write_file(cp, bad));
  const RunResult named = vizudec({"-t", cp});
  EXPECT_TRUE(named.status == 1 &&
              named.out == Info(cp, w, h, true, 5) +
                               "Checked 5 frames, all decode cleanly\n"
                               "Sound chunk 2 of stream 2 is damaged: its chunk header does not "
                               "match the index.\n")
      << named.out;
}

TEST(VizudecCommandLine, MessagesAndExitCodes) {
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), Movie(8, 4, 2, 9)));
  ASSERT_EQ(zoduviv({dir.file("m.mov"), dir.file("c.avi")}).status, 0);
  const std::string c = dir.file("c.avi"), d = dir.file("d.avi"), none = dir.file("none.avi");
  const std::string mov = dir.file("m.mov"), sym = dir.file("link.avi");
  ASSERT_EQ(symlink(c.c_str(), sym.c_str()), 0);
  const std::string usage =
      "Usage: vizudec <input.avi> <output.avi>\n       vizudec -t <input.avi>\n"
      "       vizudec -c <movie.mov> <input.avi>\n"
      "Decodes a Vozodiva compressed avi to an uncompressed avi, or with -t checks\n"
      "that every frame of it decodes, without writing anything, or with -c checks\n"
      "that its frames are exactly the frames of the movie it was made from.\n";
  const std::string unopened = "Unable to open the input file.\n", dot = dir.path() + "/./c.avi";
  const auto same = [](const std::string& out) {
    return "The output file " + out + " is the input file; choose another name.\n";
  };
  const std::pair<std::vector<std::string>, std::string> kCases[] = {
      {{}, usage},
      {{"-t"}, usage},
      {{"a", "b", "c"}, usage},
      {{"-c", "a"}, usage},
      {{"-c", none, c}, unopened},
      {{"-c", mov, none}, unopened},
      {{"-x", "a.avi"}, "Unknown option: \"-x\"\n"},
      {{"-x"}, "Unknown option: \"-x\"\n"},
      {{"-t", none}, unopened},
      {{"-t", dir.path()}, unopened},
      {{mov, d},
       "Unable to read " + mov +
           " as a Vozodiva or uncompressed AVI file: it is not an AVI file"
           " (no RIFF 'AVI ' header).\n"},
      {{c, c}, same(c)},
      {{c, sym}, same(sym)},
      {{c, dot}, same(dot)},
      {{c, dir.file("no/dir/d.avi")},
       Info(c, 8, 4, true, 2) + "Unable to open output file " + dir.file("no/dir/d.avi") + "\n"}};
  const Bytes before = read_file(c);
  for (const auto& [args, out] : kCases) {
    const RunResult r = vizudec(args);
    EXPECT_TRUE(r.out == out && r.status == 1 && r.err.empty())
        << args.size() << ": " << r.out << r.err;
  }
  EXPECT_FALSE(testfiles::file_exists(d));
  EXPECT_TRUE(read_file(c) == before);
}

// vizudec -c: a conversion in both modes is equal; named differences: a changed byte of a -u
// file (frame and pixel), a compressed frame of another picture, a missing frame, another size.
TEST(VizudecCompare, ProvesOrNamesTheDifference) {
  TempDir dir;
  const int w = 7, h = 5;
  const testmov::MovieRecipe movie = Movie(w, h, 3, 40);
  testmov::MovieRecipe other = movie, shorter = movie;
  other.frames[1][(1 * w + 3) * 3 + 2] ^= 0x40;  // frame 2, column 3, row 1: blue
  shorter.frames.pop_back();
  const std::pair<std::string, testmov::MovieRecipe> kMovies[] = {
      {"m", movie}, {"other", other}, {"short", shorter}, {"narrow", Movie(w - 1, h, 3, 40)}};
  for (const auto& [name, recipe] : kMovies) {
    const std::string mov = dir.file(name + ".mov");
    ASSERT_TRUE(testmov::write_movie(mov, recipe)) << name;
    ASSERT_EQ(zoduviv({mov, dir.file(name + "_c.avi")}).status, 0) << name;
    ASSERT_EQ(zoduviv({"-u", mov, dir.file(name + "_u.avi")}).status, 0) << name;
  }
  // One byte of the -u file changed: frame 3, column 5, row 0 (the DIB's last row).
  Bytes u = read_file(dir.file("m_u.avi"));
  u[testfiles::read_avi_bytes(u).info.frames.at(2).offset + (size_t(h - 1) * w + 5) * 3 + 1] ^= 1;
  ASSERT_TRUE(testfiles::write_file(dir.file("changed_u.avi"), u));
  const std::string differs = " differs from the movie's: first at column ",
                    from = " (counted from 0 at the top left of the picture).\n";
  const std::tuple<const char*, int, std::string> kCases[] = {
      // the file, vizudec -c's status and output
      {"m_c.avi", 0, "All 3 frames equal the movie's frames\n"},
      {"m_u.avi", 0, "All 3 frames equal the movie's frames\n"},
      {"changed_u.avi", 1, "Frame 3 of 3" + differs + "5, row 0" + from},
      {"other_c.avi", 1, "Frame 2 of 3" + differs + "3, row 1" + from},
      {"short_c.avi", 1, "The AVI file holds 2 frames, the movie 3.\n"},
      {"narrow_u.avi", 1, "The AVI file's frames are 6 x 5 pixels, the movie's 7 x 5.\n"}};
  for (const auto& [avi, status, out] : kCases) {
    const RunResult r = vizudec({"-c", dir.file("m.mov"), dir.file(avi)});
    EXPECT_TRUE(r.status == status && r.out == out) << avi << ": " << r.out;
  }
}

}  // namespace
