// End-to-end runs of the real zoduviv binary on generated movies: standard output exactly,
// the exit status, and the AVI files by hash, frame by frame and decoded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testbytes::Bytes;
using testfiles::RunResult;
using testfiles::TempDir;
std::string zoduviv() { return testfiles::binary("ZODUVIV_BIN"); }
RunResult convert(const std::vector<std::string>& args) { return testfiles::run(zoduviv(), args); }
RunResult vizudec(const std::vector<std::string>& args) {
  return testfiles::run(testfiles::binary("VIZUDEC_BIN"), args);
}

const char kUsage[] =
    "Usage: zoduviv [-u] <.mov file> <output filename>\n"
    "Use -u if you want to produce an uncomressed avi instead of a\n"
    "Vozodiva compressed avi.\n";

testmov::MovieRecipe movie(int width, int height, int frames, uint32_t seed, int noise = 8) {
  testmov::MovieRecipe recipe;
  recipe.width = width, recipe.height = height;
  for (int i = 0; i < frames; ++i)
    recipe.frames.push_back(testmov::make_frame(width, height, seed + uint32_t(i), noise));
  return recipe;
}
// What zoduviv prints for a movie it converts.
std::string success_lines(const testmov::MovieRecipe& recipe, const std::string& out, int chunks) {
  const std::vector<uint32_t>& per_chunk = recipe.frames_per_chunk;
  uint32_t stsc_entries = !recipe.frames.empty();  // one per change of frames per chunk
  for (size_t i = 1; i < per_chunk.size(); ++i) stsc_entries += per_chunk[i] != per_chunk[i - 1];
  char buf[1024];
  std::snprintf(
      buf, sizeof buf,
      "Movie header found\nTrack header found\nWidth = %d\nHeight = %d\nMedia header found\n"
      "Sample description found, number of entries = %u\nData format = \"%s\"\n"
      "Sample to time table found\nFrame rate = %f\nSample to chunk table found\n"
      "Number of entries = %u\nSample offset table found\nNumber of entries = %d\n%d frames "
      "indexed\n",
      recipe.width, recipe.height, recipe.stsd_entries, recipe.format.c_str(),
      double(recipe.time_scale) / double(recipe.durations[0]), stsc_entries, chunks,
      int(recipe.frames.size()));
  return buf +
         ("Writing " + out + ", this may take a while...\nFinished writing file " + out + "\n");
}
// Both modes over movies of every layout and content: exact messages, whole files' hashes, -u
// chunks the movie's frames as DIBs in play order (-U the same file); vizudec turns both files
// into the -u file byte for byte, and -t passes both.
TEST(DriverConversions, BothModesWholeFiles) {
  const struct {
    const char* name;
    int width, height, frames, noise;
    const char* format;
    std::vector<uint32_t> frames_per_chunk;
    std::vector<size_t> chunk_order;
    uint64_t u_fnv, c_fnv;
    size_t row_padding = 0;  // bytes after each row in the movie: the same files as packed
    bool solid = false;      // solid frames at 29.97 frames a second instead
  } kCases[] = {
      {"raw", 4, 2, 3, 8, "raw ", {}, {}, 0x37d7b1757e963f30, 0x14a096990e72231},
      {"WRLE", 5, 3, 4, 8, "WRLE", {}, {}, 0xd4cf1b6d66262f4b, 0x1e16c32d0a0154ca},
      {"odd width", 7, 5, 2, 40, "raw ", {}, {}, 0xdfb91aca551023bf, 0xcdfc093f8471ae27},
      {"WRLE padded", 5, 3, 4, 8, "WRLE", {}, {}, 0xd4cf1b6d66262f4b, 0x1e16c32d0a0154ca, 5},
      {"4 4 1", 6, 4, 9, 8, "raw ", {4, 4, 1}, {}, 0x2e8c76cbc777363a, 0x39443382b36e740e},
      {"shuffled",
       3,
       3,
       6,
       8,
       "raw ",
       {2, 1, 3},
       {2, 0, 1},
       0x29a1561b7ab75303,
       0x57293f825bb22e95},
      {"one pixel", 1, 1, 3, 255, "raw ", {}, {}, 0xc683238871695b1b, 0x28deea0c8061800e},
      {"smooth", 32, 24, 4, 0, "raw ", {4}, {}, 0x13f8b10e698c909f, 0x2d74dd0f716f6f04},
      {"noise", 16, 16, 3, 255, "WRLE", {}, {}, 0x3796d97a64fcfac7, 0x173a20e140428909},
      {"no frames", 4, 4, 0, 0, "raw ", {}, {}, 0x90af088e87db732f, 0x462c6a25a248942e},
      {"solid 29.97", 10, 6, 4, 0, "raw ", {}, {}, 0xae94754d88be9da4, 0xc57dd9249ee47988, 0, true},
  };
  for (const auto& c : kCases) {
    TempDir dir;
    testmov::MovieRecipe recipe = movie(c.width, c.height, c.frames, 11, c.noise);
    recipe.format = c.format, recipe.frames_per_chunk = c.frames_per_chunk;
    recipe.chunk_order = c.chunk_order;
    SCOPED_TRACE(c.name);
    const std::string mov = dir.file("m.mov");
    if (c.solid) {
      Bytes coloured(180);
      for (size_t i = 0; i < coloured.size(); ++i) coloured[i] = uint8_t(1 + i % 3);
      recipe.frames = {Bytes(180, 77), coloured, Bytes(180, 0), testmov::make_frame(10, 6, 5, 30)};
      recipe.time_scale = 30000, recipe.durations = {1001};
    }
    const std::vector<Bytes> packed = recipe.frames;
    for (Bytes& f : recipe.frames)
      for (size_t y = size_t(c.height); c.row_padding > 0 && y > 0; --y)
        f.insert(f.begin() + long(y * size_t(c.width) * 3), c.row_padding, 0xAB);
    ASSERT_TRUE(testmov::write_movie(mov, recipe));
    const int chunks = c.frames_per_chunk.empty() ? c.frames : int(c.frames_per_chunk.size());
    const std::string u = dir.file("u.avi"), big_u = dir.file("U.avi"), z = dir.file("c.avi"),
                      d = dir.file("d.avi");
    for (const auto& [args, out] : {std::pair{std::vector<std::string>{"-u", mov, u}, u},
                                    {{"-U", mov, big_u}, big_u},
                                    {{mov, z}, z}}) {
      const RunResult r = convert(args);
      EXPECT_EQ(r.out + std::to_string(r.status), success_lines(recipe, out, chunks) + "0")
          << c.name;
    }
    const Bytes u_bytes = testfiles::read_file(u);
    EXPECT_EQ(std::make_pair(testbytes::Fnv(u_bytes), testbytes::Fnv(testfiles::read_file(z))),
              std::make_pair(c.u_fnv, c.c_fnv))
        << c.name << ": -u, compressed";
    EXPECT_TRUE(testfiles::read_file(big_u) == u_bytes) << c.name;
    const testfiles::AviFile plain = testfiles::read_avi_bytes(u_bytes);
    ASSERT_TRUE(plain.ok && plain.frames.size() == size_t(c.frames))
        << c.name << ": " << plain.error;
    for (size_t i = 0; i < recipe.frames.size(); ++i)
      EXPECT_EQ(plain.frames[i],
                testfiles::expected_dib(packed[i], c.width, c.height, c.format[0] == 'r'))
          << c.name << " frame " << i;
    for (const std::string& in : {z, u}) {
      const std::string info = in + ": " + std::to_string(c.width) + " x " +
                               std::to_string(c.height) + ", " +
                               (in == z ? "Vozodiva compressed" : "uncompressed") + ", " +
                               std::to_string(c.frames) + " frames\n";
      const RunResult r = vizudec({in, d}), t = vizudec({"-t", in});
      EXPECT_EQ(r.out + r.err, info + "Writing " + d +
                                   ", this may take a while...\nFinished writing file " + d + "\n")
          << c.name;
      EXPECT_TRUE(r.status == 0 && testfiles::read_file(d) == u_bytes)
          << c.name << ": the file from " << in << " differs from u.avi";
      EXPECT_EQ(t.out + std::to_string(t.status),
                info + "Checked " + std::to_string(c.frames) + " frames, all decode cleanly\n0")
          << c.name;
    }
  }
}
// The bundled sample movie: the lines the README shows, and the files by hash.
TEST(DriverConversions, TheSampleMovie) {
  TempDir dir;
  const std::string mov = ZODUVIV_DEFAULT_SOURCE_DIR "/samples/sample.mov";
  const char kWalk[] =
      "Movie header found\nTrack header found\nWidth = 64\nHeight = 48\nMedia header found\n"
      "Sample description found, number of entries = 1\nData format = \"raw \"\n"
      "Sample to time table found\nFrame rate = 30.000000\nSample to chunk table found\n"
      "Number of entries = 3\nSample offset table found\nNumber of entries = 4\n"
      "12 frames indexed\n";
  const struct {
    const char* option;
    uint64_t fnv;
  } kModes[] = {{"-u", 0x6ba0dec12d884f79}, {"", 0xa69610642a0768ea}};
  for (const auto& m : kModes) {
    SCOPED_TRACE(m.option);
    const std::string out = dir.file("s.avi");
    const RunResult r = convert(*m.option ? std::vector<std::string>{m.option, mov, out}
                                          : std::vector<std::string>{mov, out});
    EXPECT_EQ(r.out, kWalk + ("Writing " + out +
                              ", this may take a while...\nFinished writing file " + out + "\n"));
    EXPECT_EQ(testbytes::Fnv(testfiles::read_file(out)), m.fnv);
  }
}
// Runs that stop: the exact messages (or their end, after "..."), exit status 1, and no
// output file or, past the header, one that holds the frames written before the damage.
// Frames of no pixels are refused in both modes before an output is made.
TEST(DriverFailures, MessagesExitStatusAndOutput) {
  TempDir dir;
  const std::string o = dir.file("o.avi"), none = dir.file("none.mov"),
                    empty = dir.file("empty.mov"), jpeg = dir.file("jpeg.mov"),
                    cut = dir.file("cut.mov"), good = dir.file("good.mov"),
                    big = dir.file("big.mov"), huge = dir.file("huge.mov"),
                    no_w = dir.file("w0.mov"), no_h = dir.file("h0.mov"),
                    missing = dir.file("no/dir/o.avi");
  testmov::MovieRecipe jpeg_movie = movie(4, 2, 1, 1);
  jpeg_movie.format = "jpeg";
  testbytes::Bytes cut_movie = testmov::build_movie(movie(8, 6, 5, 3));
  cut_movie.resize(cut_movie.size() - 144 - 72);  // in the middle of frame 4
  // No video track; 32-bit "raw " pixels; samples of 25 bytes for 4 x 2 pixels; a fragment claiming
  // 2^32 - 1 samples of 24 bytes after three good frames.
  const std::string deep = dir.file("deep.mov"), odd = dir.file("odd.mov"),
                    frag = dir.file("frag.mov"), sound = dir.file("sound.mov");
  testbytes::Bytes deep_movie = testmov::build_movie(movie(4, 2, 1, 1));
  const char* stsd = "stsd";
  deep_movie[size_t(std::search(deep_movie.begin(), deep_movie.end(), stsd, stsd + 4) -
                    deep_movie.begin()) +
             12 + 83] = 32;
  testbytes::Bytes sound_only = deep_movie;  // its one track's handler made "soun"
  const char* vide = "vide";
  std::memcpy(&*std::search(sound_only.begin(), sound_only.end(), vide, vide + 4), "soun", 4);
  testmov::MovieRecipe odd_movie = movie(4, 2, 1, 1);
  odd_movie.frames[0].push_back(0);
  testbytes::ByteWriter moof(true);
  const size_t moof_at = moof.open("moof"), traf = moof.open("traf"), tfhd = moof.open("tfhd");
  moof.u32(0x10).u32(1).u32(24).close(tfhd);
  const size_t trun = moof.open("trun");
  moof.u32(1).u32(0xFFFFFFFFu).u32(0).close(trun);
  moof.close(traf);
  moof.close(moof_at);
  ASSERT_TRUE(
      testfiles::write_file(sound, sound_only) && testfiles::write_file(deep, deep_movie) &&
      testfiles::write_file(odd, testmov::build_movie(odd_movie)) &&
      testfiles::write_file(frag, testbytes::Cat(testmov::build_movie(movie(4, 2, 3, 1)), moof.b)));
  ASSERT_TRUE(testfiles::write_file(empty, {}) && testfiles::write_file(cut, cut_movie));
  for (const auto& [file, recipe] :
       std::vector<std::pair<std::string, testmov::MovieRecipe>>{{jpeg, jpeg_movie},
                                                                 {good, movie(16, 16, 3, 1)},
                                                                 {big, movie(4097, 2048, 0, 1)},
                                                                 {huge, movie(20000, 18000, 0, 1)},
                                                                 {no_w, movie(0, 480, 2, 1)},
                                                                 {no_h, movie(640, 0, 2, 1)}})
    ASSERT_TRUE(testmov::write_movie(file, recipe)) << file;
  const std::string stopped =
      "...Frame 4 of 5 lies past the end of the input file or cannot be read; the "
      "movie is truncated or damaged.\nStopped early: " +
      o + " holds the 3 frames written before that frame.\n";
  const std::string unknown = "Unknown option: \"", unopened = "Unable to open the input file.\n",
                    unwritable = "...3 frames indexed\nUnable to open output file ";
  const auto nothing = [](const char* w, const char* h) {
    return std::string("Movie header found\nTrack header found\nWidth = ") + w + "\nHeight = " + h +
           "\nThe movie's frames are " + w + " x " + h + " pixels; there is nothing to convert.\n";
  };
  const size_t kNoFile = size_t(-1);  // frames: those in o.avi
  const struct {
    std::vector<std::string> args;
    std::string out;
    size_t frames = kNoFile;
  } kCases[] = {
      {{}, kUsage},
      {{"a.mov"}, kUsage},
      {{"a", "b", "c", "d"}, kUsage},
      {{"-u", "a", "b", "c", "d"}, kUsage},
      {{"-u", "a.mov"}, kUsage},
      {{"-U", "a.mov"}, kUsage},
      {{"-x", good, o}, unknown + "-x\"\n"},
      {{"--u", good, o}, unknown + "--u\"\n"},
      {{"-", good, o}, unknown + "-\"\n"},
      {{"-xu", good, o}, unknown + "-xu\"\n"},
      {{none, o}, unopened},
      {{"-u", none, o}, unopened},
      {{dir.path(), o}, unopened},
      {{empty, o}, "Unable to find tag \"mvhd\"\n"},
      {{jpeg, o},
       "...Data format = \"jpeg\"\nUnsupported data format, please select \"BMP\" or \"none\" as "
       "the video compression when saving a .mov file\n"},
      {{"-u", cut, o}, stopped, 3},
      {{cut, o}, stopped, 3},
      {{"-u", good, missing}, unwritable + missing + "\n"},
      {{"-u", good, "/dev/full"}, unwritable + "/dev/full\n"},
      {{good, "/dev/full"}, unwritable + "/dev/full\n"},
      {{big, o},
       "...Frames of 4097x2048 pixels are too large for the Vozodiva codec; use -u for an "
       "uncompressed AVI file.\n"},
      {{"-u", huge, o}, "...Frames of 20000x18000 pixels are too large for an AVI file.\n"},
      {{"-u", no_w, o}, nothing("0", "480")},
      {{no_w, o}, nothing("0", "480")},
      {{"-u", no_h, o}, nothing("640", "0")},
      {{no_h, o}, nothing("640", "0")},
      {{deep, o},
       "...Data format = \"raw \"\nThe video frames are 32-bit \"raw \" pixels; only 24-bit "
       "pixels can be converted.\n"},
      {{sound, o},
       "Movie header found\nThe movie has no video track; there is nothing to convert.\n"},
      {{odd, o},
       "...Number of entries = 1\nThe video frames are 25 bytes, which is not 2 rows of at least "
       "12 bytes (4 x 2 pixels of 3 bytes); the movie cannot be converted.\n"},
      {{frag, o},
       "...Stopped early: " + o + " holds the 3 frames before the damaged fragment.\n",
       3}};
  for (const auto& k : kCases) {
    std::remove(o.c_str());
    const RunResult r = convert(k.args);
    const bool tail = k.out.rfind("...", 0) == 0;
    const std::string want = tail ? k.out.substr(3) : k.out;
    EXPECT_EQ(
        tail && r.out.size() >= want.size() ? r.out.substr(r.out.size() - want.size()) : r.out,
        want);
    EXPECT_EQ(r.status, 1) << want;
    EXPECT_EQ(r.err, "") << want;
    const testfiles::AviFile avi = testfiles::read_avi_bytes(testfiles::read_file(o));
    EXPECT_EQ(avi.ok                      ? avi.frames.size()
              : testfiles::file_exists(o) ? 0
                                          : kNoFile,
              k.frames)
        << want;
  }
}
// A movie without frames gives an empty AVI file; its frame size, however large it
// claims to be (900,000,000 bytes here), sizes no buffer.
TEST(DriverFailures, MovieWithoutFramesGivesAnEmptyAvi) {
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), movie(30000, 10000, 0, 1)));
  EXPECT_EQ(convert({"-u", dir.file("m.mov"), dir.file("u.avi")}).status, 0);
  const testfiles::AviFile avi = testfiles::read_avi_bytes(testfiles::read_file(dir.file("u.avi")));
  EXPECT_TRUE(avi.ok && avi.frames.empty()) << avi.error;
}
TEST(DriverFailures, OutputThatIsTheInputIsRefused) {
  TempDir dir;
  const std::string in = dir.file("m.mov");
  ASSERT_TRUE(testmov::write_movie(in, movie(4, 2, 2, 1)));
  const testbytes::Bytes before = testfiles::read_file(in);
  ASSERT_EQ(::symlink(in.c_str(), dir.file("link.avi").c_str()) +
                ::link(in.c_str(), dir.file("hard.avi").c_str()),
            0);
  for (const std::string& out :
       {in, dir.path() + "/./m.mov", dir.file("link.avi"), dir.file("hard.avi")}) {
    for (const RunResult& r : {convert({"-u", in, out}), convert({in, out})}) {
      EXPECT_EQ(r.status, 1) << out;
      EXPECT_EQ(r.out, "The output file " + out +
                           " is the input file; choose another name for the AVI file.\n");
    }
  }
  EXPECT_TRUE(testfiles::read_file(in) == before);
}
// The movie atom anywhere in the file gives the same AVI file.
TEST(DriverMovieAtom, AnywhereGivesTheSameAviFile) {
  constexpr uint64_t kHead = 9240576;  // the head of the movie that the walk has always read
  const struct {
    bool moov_first, wide, size_zero;
    uint64_t padding;
  } layouts[] = {// wide: co64 too
                 {true, false, false, 0},
                 {false, false, false, 0},
                 {false, false, false, kHead - 700},  // straddling
                 {false, true, false, kHead},
                 {false, false, true, kHead}};
  TempDir dir;
  std::vector<uint8_t> first;
  for (const auto& l : layouts) {
    testmov::MovieRecipe recipe = movie(8, 6, 4, 5);  // 4 frames of 144 bytes
    recipe.moov_first = l.moov_first, recipe.mdat_padding = l.padding;
    recipe.use_co64 = recipe.mdat_size64 = l.wide;
    std::vector<uint8_t> file = testmov::build_movie(recipe);
    if (l.size_zero)
      std::fill_n(file.begin() + long(28 + l.padding + 4 * 144), 4, 0);  // to the end
    ASSERT_TRUE(testfiles::write_file(dir.file("m.mov"), file));
    const std::string out = dir.file("o.avi");
    EXPECT_EQ(convert({"-u", dir.file("m.mov"), out}).out, success_lines(recipe, out, 4))
        << l.padding;
    if (first.empty()) first = testfiles::read_file(dir.file("o.avi"));
    EXPECT_TRUE(testfiles::read_file(dir.file("o.avi")) == first) << "padding " << l.padding;
  }
}

}  // namespace
