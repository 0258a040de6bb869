// The compressed pass runs on worker threads; its output must not depend on how many.
// Each movie is converted with 1, 2 and 7 threads (and decoded by vizudec likewise) and
// the files must be byte-identical. This suite also runs under ThreadSanitizer.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testfiles::RunResult;
using testfiles::TempDir;

struct ThreadCase {
  const char* name;
  int width, height, frames, noise;
  std::string format;
  bool truncate;  // cut the movie inside its last frame
};

class Threads : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(Threads, OutputIsTheSameForEveryThreadCount) {
  const ThreadCase& c = GetParam();
  TempDir dir;
  testmov::MovieRecipe recipe;
  recipe.width = c.width;
  recipe.height = c.height;
  recipe.format = c.format;
  for (int i = 0; i < c.frames; ++i)
    recipe.frames.push_back(testmov::make_frame(c.width, c.height, 500 + uint32_t(i), i % 3 == 2 ? 0 : c.noise));
  std::vector<uint8_t> movie = testmov::build_movie(recipe);
  if (c.truncate) movie.resize(movie.size() - 5);
  ASSERT_TRUE(testfiles::write_file(dir.file("m.mov"), movie));

  const std::string zoduviv = testfiles::binary("ZODUVIV_BIN");
  const std::string vizudec = testfiles::binary("VIZUDEC_BIN");
  std::vector<uint8_t> reference;
  std::vector<uint8_t> decoded_reference;
  std::string out_reference;
  for (const char* threads : {"1", "2", "7"}) {
    const std::string env = std::string("ZODUVIV_THREADS=") + threads;
    const std::string avi = dir.file(std::string("c") + threads + ".avi");
    const RunResult r = testfiles::run(zoduviv, {dir.file("m.mov"), avi}, {env});
    EXPECT_EQ(r.status, c.truncate ? 1 : 0) << c.name << " threads=" << threads << "\n" << r.out;
    const std::vector<uint8_t> bytes = testfiles::read_file(avi);
    // The messages name the output file; compare them with the name taken out.
    std::string out = r.out;
    for (size_t at; (at = out.find(avi)) != std::string::npos;) out.replace(at, avi.size(), "OUT");
    if (reference.empty()) {
      reference = bytes;
      out_reference = out;
    } else {
      EXPECT_EQ(bytes, reference) << c.name << " threads=" << threads;
      EXPECT_EQ(out, out_reference) << c.name << " threads=" << threads;
    }
    if (c.truncate || vizudec.empty()) continue;
    const std::string dec = dir.file(std::string("d") + threads + ".avi");
    const RunResult d = testfiles::run(vizudec, {avi, dec}, {env});
    EXPECT_EQ(d.status, 0) << d.out;
    const std::vector<uint8_t> decoded = testfiles::read_file(dec);
    if (decoded_reference.empty()) {
      decoded_reference = decoded;
    } else {
      EXPECT_EQ(decoded, decoded_reference) << c.name << " vizudec threads=" << threads;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Movies, Threads,
                         ::testing::Values(ThreadCase{"raw_many_frames", 24, 16, 23, 12, "raw ", false},
                                           ThreadCase{"wrle_noise", 17, 9, 11, 255, "WRLE", false},
                                           ThreadCase{"one_frame", 8, 8, 1, 3, "raw ", false},
                                           ThreadCase{"truncated", 16, 12, 9, 30, "raw ", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
