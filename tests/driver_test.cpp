// End-to-end runs of the real zoduviv binary on generated movies: standard output line by
// line, the exit status and the bytes of the AVI file.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/codec.h"
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
  char buf[1024];
  std::snprintf(buf, sizeof buf,
                "Movie header found\nTrack header found\nWidth = %d\nHeight = %d\nMedia header found\n"
                "Sample description found, number of entries = %u\nData format = \"%s\"\n"
                "Sample to time table found\nFrame rate = %f\nSample to chunk table found\n",
                recipe.width, recipe.height, recipe.stsd_entries, recipe.format.c_str(),
                double(recipe.time_scale) / double(recipe.durations[0]));
  std::string text = buf;
  // The stsc count is one entry per change of frames per chunk.
  uint32_t stsc_entries = 0;
  if (recipe.frames_per_chunk.empty()) {
    stsc_entries = frames > 0 ? 1 : 0;
  } else {
    for (size_t i = 0; i < recipe.frames_per_chunk.size(); ++i)
      if (i == 0 || recipe.frames_per_chunk[i] != recipe.frames_per_chunk[i - 1]) ++stsc_entries;
  }
  std::snprintf(buf, sizeof buf,
                "Number of entries = %u\nSample offset table found\nNumber of entries = %d\n%d frames indexed\n",
                stsc_entries, chunks, frames);
  return text + buf;
}

std::string success_lines(const testmov::MovieRecipe& recipe, const std::string& out, int chunks) {
  const int frames = int(recipe.frames.size());
  return header_lines(recipe, chunks, frames) + "Writing " + out + ", this may take a while...\n" +
         "Finished writing file " + out + "\n";
}

TEST(DriverCommandLine, UsageForEveryWrongArgumentCount) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"a.mov"}, {"a", "b", "c", "d"}, {"-u", "a", "b", "c", "d"}, {"-u", "a.mov"}, {"-U", "a.mov"}};
  for (const auto& args : cases) {
    const RunResult r = convert(args);
    EXPECT_EQ(r.out, kUsage) << "args=" << args.size();
    EXPECT_EQ(r.status, 1) << "args=" << args.size();
    EXPECT_EQ(r.err, "");
  }
}

TEST(DriverCommandLine, UnknownOptionsNameTheWholeArgument) {
  for (const std::string opt : {"-x", "-", "-v", "--u", "-xu"}) {
    const RunResult r = convert({opt, "in.mov", "out.avi"});
    EXPECT_EQ(r.out, "Unknown option: \"" + opt + "\"\n");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(DriverCommandLine, MissingInputCreatesNothing) {
  TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{dir.file("none.mov"), dir.file("o.avi")},
        std::vector<std::string>{"-u", dir.file("none.mov"), dir.file("o.avi")},
        std::vector<std::string>{dir.path(), dir.file("o.avi")}}) {
    const RunResult r = convert(args);
    EXPECT_EQ(r.out, "Unable to open the input file.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(testfiles::file_exists(dir.file("o.avi")));
  }
}

// -u output: every chunk is the DIB form of the movie frame, in play order, flagged 0x10.
struct LayoutCase {
  const char* name;
  int width, height, frames;
  std::string format;
  std::vector<uint32_t> frames_per_chunk;
  std::vector<size_t> chunk_order;
  bool moov_first;
};

class DriverUncompressed : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(DriverUncompressed, WritesEveryFrameInPlayOrder) {
  const LayoutCase& c = GetParam();
  TempDir dir;
  testmov::MovieRecipe recipe = movie(c.width, c.height, c.frames, 7);
  recipe.format = c.format;
  recipe.frames_per_chunk = c.frames_per_chunk;
  recipe.chunk_order = c.chunk_order;
  recipe.moov_first = c.moov_first;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), recipe));
  const std::string out = dir.file("u.avi");

  for (const char* option : {"-u", "-U"}) {
    const RunResult r = convert({option, dir.file("m.mov"), out});
    const int chunks = c.frames_per_chunk.empty() ? c.frames : int(c.frames_per_chunk.size());
    EXPECT_EQ(r.out, success_lines(recipe, out, chunks)) << c.name;
    EXPECT_EQ(r.status, 0) << c.name;

    const testfiles::PlainAvi avi = testfiles::parse_plain_avi(testfiles::read_file(out));
    ASSERT_TRUE(avi.ok) << c.name << ": " << avi.error;
    ASSERT_EQ(avi.frames.size(), recipe.frames.size()) << c.name;
    for (size_t i = 0; i < recipe.frames.size(); ++i) {
      EXPECT_EQ(avi.frames[i], testfiles::expected_dib(recipe.frames[i], c.width, c.height, c.format == "raw "))
          << c.name << " frame " << i;
      EXPECT_EQ(avi.index_flags[i], 0x10u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DriverUncompressed,
    ::testing::Values(
        LayoutCase{"raw_one_per_chunk", 4, 2, 3, "raw ", {}, {}, true},
        LayoutCase{"wrle", 5, 3, 4, "WRLE", {}, {}, true},
        LayoutCase{"odd_width_packed_rows", 7, 5, 2, "raw ", {}, {}, true},
        LayoutCase{"several_per_chunk", 6, 4, 9, "raw ", {4, 4, 1}, {}, true},
        LayoutCase{"chunks_out_of_order", 3, 3, 6, "raw ", {2, 1, 3}, {2, 0, 1}, true},
        LayoutCase{"moov_after_mdat", 8, 2, 5, "WRLE", {5}, {}, false},
        LayoutCase{"one_pixel", 1, 1, 3, "raw ", {}, {}, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A movie without frames gives an empty AVI file; its frame size, however large it
// claims to be, sizes no buffer.
TEST(DriverUncompressed, MovieWithoutFramesGivesAnEmptyAvi) {
  const struct {
    int width, height;
  } sizes[] = {{4, 4}, {30000, 10000}};  // frames of 48 bytes and of 900,000,000 bytes
  for (const auto& size : sizes) {
    const int width = size.width;
    TempDir dir;
    testmov::MovieRecipe recipe = movie(size.width, size.height, 0, 1);
    ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), recipe));
    const RunResult r = convert({"-u", dir.file("m.mov"), dir.file("u.avi")});
    EXPECT_EQ(r.status, 0) << r.out;
    const auto bytes = testfiles::read_file(dir.file("u.avi"));
    const testfiles::PlainAvi avi = testfiles::parse_plain_avi(bytes);
    ASSERT_TRUE(avi.ok) << "width " << width << ": " << avi.error;
    EXPECT_TRUE(avi.frames.empty());
    EXPECT_EQ(testfiles::le32(bytes, 0x2004), 4u);
  }
}

TEST(DriverFailures, TruncatedMovieKeepsTheFramesBeforeTheDamage) {
  TempDir dir;
  testmov::MovieRecipe recipe = movie(8, 6, 5, 3);
  recipe.moov_first = true;
  std::vector<uint8_t> bytes = testmov::build_movie(recipe);
  // Cut the file in the middle of the fourth frame.
  const size_t frame = 8 * 6 * 3;
  bytes.resize(bytes.size() - frame - frame / 2);
  ASSERT_TRUE(testfiles::write_file(dir.file("m.mov"), bytes));
  for (const char* mode : {"-u", ""}) {
    std::vector<std::string> args;
    if (*mode) args.push_back(mode);
    args.push_back(dir.file("m.mov"));
    args.push_back(dir.file("o.avi"));
    const RunResult r = convert(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Frame 4 of 5 lies past the end of the input file"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("holds the 3 frames written before that frame"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Finished writing"), std::string::npos);
    const testfiles::PlainAvi avi = testfiles::parse_plain_avi(testfiles::read_file(dir.file("o.avi")));
    ASSERT_TRUE(avi.ok) << avi.error;
    EXPECT_EQ(avi.frames.size(), 3u);
  }
}

TEST(DriverFailures, UnwritableOutputPath) {
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), movie(4, 2, 2, 1)));
  const std::string out = dir.file("missing/dir/o.avi");
  const RunResult r = convert({"-u", dir.file("m.mov"), out});
  EXPECT_EQ(r.status, 1);
  const std::string tail = "2 frames indexed\nUnable to open output file " + out + "\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}

TEST(DriverFailures, FullDiskIsAFailure) {
  if (!testfiles::file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  TempDir dir;
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), movie(16, 16, 3, 1)));
  const RunResult r = convert({"-u", dir.file("m.mov"), "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("Finished writing"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/dev/full"), std::string::npos) << r.out;
}

TEST(DriverFailures, OutputThatIsTheInputIsRefused) {
  TempDir dir;
  const std::string in = dir.file("m.mov");
  ASSERT_TRUE(testmov::write_movie(in, movie(4, 2, 2, 1)));
  const auto before = testfiles::read_file(in);
  ASSERT_EQ(::symlink(in.c_str(), dir.file("link.avi").c_str()), 0);
  ASSERT_EQ(::link(in.c_str(), dir.file("hard.avi").c_str()), 0);
  for (const std::string& out : {in, dir.path() + "/./m.mov", dir.file("link.avi"), dir.file("hard.avi")}) {
    for (const char* mode : {"-u", ""}) {
      std::vector<std::string> args;
      if (*mode) args.push_back(mode);
      args.push_back(in);
      args.push_back(out);
      const RunResult r = convert(args);
      EXPECT_EQ(r.status, 1) << out;
      EXPECT_EQ(r.out, "The output file " + out + " is the input file; choose another name for the AVI file.\n");
      EXPECT_EQ(testfiles::read_file(in), before) << out;
    }
  }
}

TEST(DriverFailures, UnsupportedFormatStopsAfterTheFormatLine) {
  TempDir dir;
  testmov::MovieRecipe recipe = movie(4, 2, 1, 1);
  recipe.format = "jpeg";
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), recipe));
  const RunResult r = convert({dir.file("m.mov"), dir.file("o.avi")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Movie header found\nTrack header found\nWidth = 4\nHeight = 2\nMedia header found\n"
            "Sample description found, number of entries = 1\nData format = \"jpeg\"\n"
            "Unsupported data format, please select \"BMP\" or \"none\" as the video compression when "
            "saving a .mov file\n");
  EXPECT_FALSE(testfiles::file_exists(dir.file("o.avi")));
}

TEST(DriverFailures, EmptyInputFile) {
  TempDir dir;
  ASSERT_TRUE(testfiles::write_file(dir.file("m.mov"), {}));
  const RunResult r = convert({dir.file("m.mov"), dir.file("o.avi")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Unable to find tag \"mvhd\"\n");
}

// Compressed output: every chunk decodes to the -u chunk of the same frame.
struct ContentCase {
  const char* name;
  int width, height, frames, noise;
  std::string format;
};

class DriverCompressed : public ::testing::TestWithParam<ContentCase> {};

TEST_P(DriverCompressed, EveryChunkDecodesToTheUncompressedChunk) {
  const ContentCase& c = GetParam();
  TempDir dir;
  testmov::MovieRecipe recipe = movie(c.width, c.height, c.frames, 11, c.noise);
  recipe.format = c.format;
  recipe.frames_per_chunk = {uint32_t(c.frames)};
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), recipe));

  const RunResult u = convert({"-u", dir.file("m.mov"), dir.file("u.avi")});
  const RunResult z = convert({dir.file("m.mov"), dir.file("c.avi")});
  const RunResult z2 = convert({dir.file("m.mov"), dir.file("c2.avi")});
  ASSERT_EQ(u.status, 0) << u.out;
  ASSERT_EQ(z.status, 0) << z.out;
  EXPECT_EQ(z.out, success_lines(recipe, dir.file("c.avi"), 1));

  const auto c_bytes = testfiles::read_file(dir.file("c.avi"));
  EXPECT_EQ(c_bytes, testfiles::read_file(dir.file("c2.avi"))) << "converting twice differs";
  EXPECT_EQ(std::memcmp(c_bytes.data() + 0x70, "vizu", 4), 0);
  EXPECT_EQ(std::memcmp(c_bytes.data() + 0xBC, "VIZU", 4), 0);
  const testfiles::PlainAvi plain = testfiles::parse_plain_avi(testfiles::read_file(dir.file("u.avi")));
  const testfiles::PlainAvi packed = testfiles::parse_plain_avi(c_bytes);
  ASSERT_TRUE(plain.ok) << plain.error;
  ASSERT_TRUE(packed.ok) << packed.error;
  ASSERT_EQ(plain.frames.size(), packed.frames.size());

  FrameDecoder decoder;
  ASSERT_TRUE(decoder.Begin(c.width, c.height));
  std::vector<uint8_t> frame(size_t(c.width) * c.height * 3);
  for (size_t i = 0; i < packed.frames.size(); ++i) {
    ASSERT_TRUE(decoder.Decode(packed.frames[i].data(), packed.frames[i].size(), frame.data()))
        << c.name << " frame " << i;
    EXPECT_EQ(frame, plain.frames[i]) << c.name << " frame " << i;
    EXPECT_EQ(packed.index_flags[i], 0x10u);
  }
}

INSTANTIATE_TEST_SUITE_P(Contents, DriverCompressed,
                         ::testing::Values(ContentCase{"smooth_raw", 32, 24, 4, 0, "raw "},
                                           ContentCase{"noisy_raw", 33, 17, 3, 40, "raw "},
                                           ContentCase{"noise_wrle", 16, 16, 3, 255, "WRLE"},
                                           ContentCase{"tiny", 1, 1, 2, 255, "raw "},
                                           ContentCase{"two_by_three", 2, 3, 2, 255, "WRLE"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(DriverCompressed, SolidMovieGivesTinyFrames) {
  TempDir dir;
  testmov::MovieRecipe recipe;
  recipe.width = 10;
  recipe.height = 10;
  recipe.frames.push_back(std::vector<uint8_t>(300, 77));  // grey: one byte value
  std::vector<uint8_t> coloured(300);
  for (size_t i = 0; i < coloured.size(); i += 3) {
    coloured[i] = 1;
    coloured[i + 1] = 2;
    coloured[i + 2] = 3;
  }
  recipe.frames.push_back(coloured);
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), recipe));
  const RunResult r = convert({dir.file("m.mov"), dir.file("c.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  const testfiles::PlainAvi avi = testfiles::parse_plain_avi(testfiles::read_file(dir.file("c.avi")));
  ASSERT_TRUE(avi.ok) << avi.error;
  ASSERT_EQ(avi.frames.size(), 2u);
  EXPECT_EQ(avi.frames[0], (std::vector<uint8_t>{5, 77}));
  EXPECT_EQ(avi.frames[1], (std::vector<uint8_t>{6, 3, 2, 1}));  // raw RGB 1,2,3 becomes BGR
}

}  // namespace

// =======================================================================================
// The movie atom anywhere in the file, and movies refused before an output is created.
TEST(DriverMovieAtom, AnywhereGivesTheSameAviFile) {
  constexpr uint64_t kHead = 9240576;  // the head of the movie that the walk has always read
  const struct {
    bool moov_first, wide, size_zero;  // wide: 64-bit mdat size and co64
    uint64_t padding;
  } layouts[] = {{true, false, false, 0}, {false, false, false, 0},
                 {false, false, false, kHead - 700},  // straddles the head's end
                 {false, true, false, kHead}, {false, false, true, kHead}};
  TempDir dir;
  std::vector<uint8_t> first;
  for (const auto& l : layouts) {
    testmov::MovieRecipe recipe = movie(8, 6, 4, 5);  // 4 frames of 144 bytes
    recipe.moov_first = l.moov_first;
    recipe.use_co64 = recipe.mdat_size64 = l.wide;
    recipe.mdat_padding = l.padding;
    std::vector<uint8_t> file = testmov::build_movie(recipe);
    if (l.size_zero) std::fill_n(file.begin() + long(28 + l.padding + 4 * 144), 4, 0);  // to the end
    ASSERT_TRUE(testfiles::write_file(dir.file("m.mov"), file));
    const RunResult r = convert({"-u", dir.file("m.mov"), dir.file("o.avi")});
    EXPECT_EQ(r.out, success_lines(recipe, dir.file("o.avi"), 4)) << "padding " << l.padding;
    if (first.empty()) first = testfiles::read_file(dir.file("o.avi"));
    EXPECT_TRUE(testfiles::read_file(dir.file("o.avi")) == first) << "padding " << l.padding;
  }
}

TEST(DriverFailures, EmptyGeometryIsRefusedInBothModes) {
  for (const auto& [width, height] : {std::pair<int, int>{0, 480}, std::pair<int, int>{640, 0}}) {
    TempDir dir;
    ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), movie(width, height, 2, 1)));
    const std::string w = std::to_string(width), h = std::to_string(height);
    for (const char* mode : {"-u", ""}) {
      std::vector<std::string> args = {dir.file("m.mov"), dir.file("o.avi")};
      if (*mode) args.insert(args.begin(), mode);
      const RunResult r = convert(args);
      EXPECT_EQ(r.out, "Movie header found\nTrack header found\nWidth = " + w + "\nHeight = " + h +
                           "\nThe movie's frames are " + w + " x " + h +
                           " pixels; there is nothing to convert.\n");
      EXPECT_EQ(r.status, 1);
    }
    EXPECT_FALSE(testfiles::file_exists(dir.file("o.avi")));
  }
}
