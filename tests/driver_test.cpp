// End-to-end runs of the real zoduviv binary on generated movies: standard output exactly,
// the exit status, and the AVI files by hash, frame by frame and decoded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testfiles::RunResult;
using testfiles::TempDir;

std::string zoduviv() { return testfiles::binary("ZODUVIV_BIN"); }

RunResult convert(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  return testfiles::run(zoduviv(), args, env);
}

const char kUsage[] =
    "Usage: zoduviv [-u] <.mov file> <output filename>\n"
    "Use -u if you want to produce an uncomressed avi instead of a\n"
    "Vozodiva compressed avi.\n";

testmov::MovieRecipe movie(int width, int height, int frames, uint32_t seed, int noise = 8) {
  testmov::MovieRecipe recipe;
  recipe.width = width;
  recipe.height = height;
  for (int i = 0; i < frames; ++i)
    recipe.frames.push_back(testmov::make_frame(width, height, seed + uint32_t(i), noise));
  return recipe;
}

// The lines zoduviv prints for a movie from the header walk to the frame count.
std::string header_lines(const testmov::MovieRecipe& recipe, int chunks, int frames) {
  uint32_t stsc_entries = 0;  // one per change of frames per chunk
  for (size_t i = 0; i < recipe.frames_per_chunk.size(); ++i)
    stsc_entries += i == 0 || recipe.frames_per_chunk[i] != recipe.frames_per_chunk[i - 1];
  if (recipe.frames_per_chunk.empty()) stsc_entries = frames > 0;
  char buf[1024];
  std::snprintf(buf, sizeof buf,
                "Movie header found\nTrack header found\nWidth = %d\nHeight = %d\nMedia header found\n"
                "Sample description found, number of entries = %u\nData format = \"%s\"\n"
                "Sample to time table found\nFrame rate = %f\nSample to chunk table found\n"
                "Number of entries = %u\nSample offset table found\nNumber of entries = %d\n%d frames indexed\n",
                recipe.width, recipe.height, recipe.stsd_entries, recipe.format.c_str(),
                double(recipe.time_scale) / double(recipe.durations[0]), stsc_entries, chunks, frames);
  return buf;
}

std::string success_lines(const testmov::MovieRecipe& recipe, const std::string& out, int chunks) {
  return header_lines(recipe, chunks, int(recipe.frames.size())) + "Writing " + out +
         ", this may take a while...\nFinished writing file " + out + "\n";
}

// Both modes over movies of every layout and content: the exact messages, the whole
// files' hashes, -u chunks the DIB form of the movie frames in play order (-U the same
// file), every compressed chunk decoding to its -u chunk, all flagged key frames.
TEST(DriverConversions, BothModesWholeFiles) {
  const struct {
    const char* name;
    int width, height, frames, noise;
    const char* format;
    std::vector<uint32_t> frames_per_chunk;
    std::vector<size_t> chunk_order;
    bool moov_first;
    uint64_t u_fnv, c_fnv;
  } kCases[] = {
      {"raw, one per chunk", 4, 2, 3, 8, "raw ", {}, {}, true, 0x37d7b1757e963f30, 0x14a096990e72231},
      {"WRLE", 5, 3, 4, 8, "WRLE", {}, {}, true, 0xd4cf1b6d66262f4b, 0x1e16c32d0a0154ca},
      {"odd width", 7, 5, 2, 40, "raw ", {}, {}, true, 0xdfb91aca551023bf, 0xcdfc093f8471ae27},
      {"several per chunk", 6, 4, 9, 8, "raw ", {4, 4, 1}, {}, true, 0x2e8c76cbc777363a, 0x39443382b36e740e},
      {"chunks out of order", 3, 3, 6, 8, "raw ", {2, 1, 3}, {2, 0, 1}, true, 0x29a1561b7ab75303, 0x57293f825bb22e95},
      {"movie atom last", 8, 2, 5, 8, "WRLE", {5}, {}, false, 0x34a584378ef51f23, 0xaee2ae1f154bab6e},
      {"one pixel", 1, 1, 3, 255, "raw ", {}, {}, true, 0xc683238871695b1b, 0x28deea0c8061800e},
      {"smooth", 32, 24, 4, 0, "raw ", {4}, {}, true, 0x13f8b10e698c909f, 0x2d74dd0f716f6f04},
      {"noise", 16, 16, 3, 255, "WRLE", {}, {}, true, 0x3796d97a64fcfac7, 0x173a20e140428909},
      {"no frames", 4, 4, 0, 0, "raw ", {}, {}, true, 0x90af088e87db732f, 0x462c6a25a248942e},
  };
  for (const auto& c : kCases) {
    TempDir dir;
    testmov::MovieRecipe recipe = movie(c.width, c.height, c.frames, 11, c.noise);
    recipe.format = c.format;
    recipe.frames_per_chunk = c.frames_per_chunk;
    recipe.chunk_order = c.chunk_order;
    recipe.moov_first = c.moov_first;
    ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), recipe));
    const int chunks = c.frames_per_chunk.empty() ? c.frames : int(c.frames_per_chunk.size());
    const std::string u = dir.file("u.avi"), big_u = dir.file("U.avi"), z = dir.file("c.avi");
    for (const auto& [args, out] : {std::pair{std::vector<std::string>{"-u", dir.file("m.mov"), u}, u},
                                    {{"-U", dir.file("m.mov"), big_u}, big_u},
                                    {{dir.file("m.mov"), z}, z}}) {
      const RunResult r = convert(args);
      EXPECT_EQ(r.out, success_lines(recipe, out, chunks)) << c.name;
      EXPECT_EQ(r.status, 0) << c.name;
    }
    const testbytes::Bytes u_bytes = testfiles::read_file(u), c_bytes = testfiles::read_file(z);
    EXPECT_EQ(testbytes::Fnv(u_bytes), c.u_fnv) << c.name << " -u";
    EXPECT_EQ(testbytes::Fnv(c_bytes), c.c_fnv) << c.name << " compressed";
    EXPECT_TRUE(testfiles::read_file(big_u) == u_bytes) << c.name;
    const testfiles::AviFile plain = testfiles::read_avi_bytes(u_bytes), packed = testfiles::read_avi_bytes(c_bytes);
    ASSERT_TRUE(plain.ok && packed.ok) << c.name << ": " << plain.error << packed.error;
    ASSERT_EQ(plain.frames.size(), recipe.frames.size()) << c.name;
    ASSERT_EQ(packed.frames.size(), recipe.frames.size()) << c.name;
    EXPECT_EQ(packed.info.compression, 0x555A4956u) << c.name;
    FrameDecoder decoder;
    ASSERT_TRUE(decoder.Begin(c.width, c.height));
    testbytes::Bytes frame(size_t(c.width) * c.height * 3);
    for (size_t i = 0; i < recipe.frames.size(); ++i) {
      const bool raw = recipe.format == "raw ";
      EXPECT_EQ(plain.frames[i], testfiles::expected_dib(recipe.frames[i], c.width, c.height, raw))
          << c.name << " frame " << i;
      ASSERT_TRUE(decoder.Decode(packed.frames[i].data(), packed.frames[i].size(), frame.data()))
          << c.name << " frame " << i;
      EXPECT_EQ(frame, plain.frames[i]) << c.name << " frame " << i;
      EXPECT_TRUE(plain.info.frames[i].flags == 16 && packed.info.frames[i].flags == 16) << c.name << " frame " << i;
    }
  }
}

// Runs that stop: the exact messages, exit status 1, and no output file (or, past the
// header, one that holds the frames written before the damage).
TEST(DriverFailures, MessagesExitStatusAndOutput) {
  TempDir dir;
  const std::string m = dir.file("m.mov"), o = dir.file("o.avi"), none = dir.file("none.mov");
  const auto write = [&](const testmov::MovieRecipe& recipe, size_t cut) {
    testbytes::Bytes bytes = testmov::build_movie(recipe);
    bytes.resize(bytes.size() - cut);
    ASSERT_TRUE(testfiles::write_file(m, bytes));
  };
  testmov::MovieRecipe jpeg = movie(4, 2, 1, 1), huge_codec = movie(4097, 2048, 0, 1),
                       huge_avi = movie(20000, 18000, 0, 1);
  jpeg.format = "jpeg";
  const std::string head =
      "Movie header found\nTrack header found\nWidth = 4\nHeight = 2\nMedia header found\n"
      "Sample description found, number of entries = 1\n";
  const std::string truncated =
      "Frame 4 of 5 lies past the end of the input file or cannot be read; the movie is truncated or damaged.\n";
  const struct {
    std::function<void()> setup;
    std::vector<std::string> args;
    std::string out;  // the whole output, or its end after "..."
    size_t frames;    // in o.avi; -1: no o.avi
  } kCases[] = {
      {[] {}, {}, kUsage, size_t(-1)}, {[] {}, {"a.mov"}, kUsage, size_t(-1)},
      {[] {}, {"a", "b", "c", "d"}, kUsage, size_t(-1)}, {[] {}, {"-u", "a", "b", "c", "d"}, kUsage, size_t(-1)},
      {[] {}, {"-u", "a.mov"}, kUsage, size_t(-1)}, {[] {}, {"-U", "a.mov"}, kUsage, size_t(-1)},
      {[] {}, {"-x", "in.mov", o}, "Unknown option: \"-x\"\n", size_t(-1)},
      {[] {}, {"--u", "in.mov", o}, "Unknown option: \"--u\"\n", size_t(-1)},
      {[] {}, {"-", "in.mov", o}, "Unknown option: \"-\"\n", size_t(-1)},
      {[] {}, {"-xu", "in.mov", o}, "Unknown option: \"-xu\"\n", size_t(-1)},
      {[] {}, {none, o}, "Unable to open the input file.\n", size_t(-1)},
      {[] {}, {"-u", none, o}, "Unable to open the input file.\n", size_t(-1)},
      {[] {}, {dir.path(), o}, "Unable to open the input file.\n", size_t(-1)},
      {[&] { ASSERT_TRUE(testfiles::write_file(m, {})); }, {m, o}, "Unable to find tag \"mvhd\"\n", size_t(-1)},
      {[&] { write(jpeg, 0); },
       {m, o},
       head + "Data format = \"jpeg\"\nUnsupported data format, please select \"BMP\" or \"none\" as the video "
              "compression when saving a .mov file\n",
       size_t(-1)},
      {[&] { write(movie(8, 6, 5, 3), 144 + 72); },
       {"-u", m, o},
       "..." + truncated + "Stopped early: " + o + " holds the 3 frames written before that frame.\n",
       3},
      {[&] { write(movie(8, 6, 5, 3), 144 + 72); },
       {m, o},
       "..." + truncated + "Stopped early: " + o + " holds the 3 frames written before that frame.\n",
       3},
      {[&] { write(movie(4, 2, 2, 1), 0); },
       {"-u", m, dir.file("missing/dir/o.avi")},
       "...2 frames indexed\nUnable to open output file " + dir.file("missing/dir/o.avi") + "\n",
       size_t(-1)},
      {[&] { write(movie(16, 16, 3, 1), 0); },
       {"-u", m, "/dev/full"},
       "...3 frames indexed\nUnable to open output file /dev/full\n",
       size_t(-1)},
      {[&] { write(movie(16, 16, 3, 1), 0); },
       {m, "/dev/full"},
       "...3 frames indexed\nUnable to open output file /dev/full\n",
       size_t(-1)},
      {[&] { write(huge_codec, 0); },
       {m, o},
       "...0 frames indexed\nFrames of 4097x2048 pixels are too large for the Vozodiva codec; use -u for an "
       "uncompressed AVI file.\n",
       size_t(-1)},
      {[&] { write(huge_avi, 0); },
       {"-u", m, o},
       "...0 frames indexed\nFrames of 20000x18000 pixels are too large for an AVI file.\n",
       size_t(-1)},
  };
  for (const auto& k : kCases) {
    std::remove(o.c_str());
    k.setup();
    const RunResult r = convert(k.args);
    const std::string tail = k.out.rfind("...", 0) == 0 ? k.out.substr(3) : k.out;
    const std::string have =
        k.out.rfind("...", 0) == 0 && r.out.size() >= tail.size() ? r.out.substr(r.out.size() - tail.size()) : r.out;
    EXPECT_EQ(have, tail) << "args=" << k.args.size();
    EXPECT_EQ(r.status, 1) << tail;
    EXPECT_EQ(r.err, "") << tail;
    const testfiles::AviFile avi = testfiles::read_avi_bytes(testfiles::read_file(o));
    EXPECT_EQ(avi.ok ? avi.frames.size() : size_t(-1), k.frames) << tail;
  }
}

// A movie without frames gives an empty AVI file; its frame size, however large it
// claims to be (900,000,000 bytes here), sizes no buffer.
TEST(DriverFailures, MovieWithoutFramesGivesAnEmptyAvi) {
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), movie(30000, 10000, 0, 1)));
  const RunResult r = convert({"-u", dir.file("m.mov"), dir.file("u.avi")});
  EXPECT_EQ(r.status, 0) << r.out;
  const testfiles::AviFile avi = testfiles::read_avi_bytes(testfiles::read_file(dir.file("u.avi")));
  ASSERT_TRUE(avi.ok) << avi.error;
  EXPECT_TRUE(avi.frames.empty());
}

TEST(DriverFailures, OutputThatIsTheInputIsRefused) {
  TempDir dir;
  const std::string in = dir.file("m.mov");
  ASSERT_TRUE(testmov::write_movie(in, movie(4, 2, 2, 1)));
  const testbytes::Bytes before = testfiles::read_file(in);
  ASSERT_EQ(::symlink(in.c_str(), dir.file("link.avi").c_str()) + ::link(in.c_str(), dir.file("hard.avi").c_str()), 0);
  for (const std::string& out : {in, dir.path() + "/./m.mov", dir.file("link.avi"), dir.file("hard.avi")}) {
    for (const RunResult& r : {convert({"-u", in, out}), convert({in, out})}) {
      EXPECT_EQ(r.status, 1) << out;
      EXPECT_EQ(r.out, "The output file " + out + " is the input file; choose another name for the AVI file.\n");
    }
  }
  EXPECT_TRUE(testfiles::read_file(in) == before);
}

}  // namespace
