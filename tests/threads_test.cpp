// The compressed pass runs on worker threads; its output must not depend on how many.
// Each movie is converted with 1, 2 and 7 threads (and decoded by vizudec likewise) and
// the files must be byte-identical. This suite also runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

struct ThreadCase {
  const char* name;
  int width, height, frames, noise;
  std::string format;
  bool truncate;  // cut the movie inside its last frame
};

class Threads : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(Threads, OutputIsTheSameForEveryThreadCount) {
  const ThreadCase& c = GetParam();
  testfiles::TempDir dir;
  testmov::MovieRecipe recipe;
  recipe.width = c.width;
  recipe.height = c.height;
  recipe.format = c.format;
  for (int i = 0; i < c.frames; ++i)
    recipe.frames.push_back(
        testmov::make_frame(c.width, c.height, 500 + uint32_t(i), i % 3 == 2 ? 0 : c.noise));
  std::vector<uint8_t> movie = testmov::build_movie(recipe);
  if (c.truncate) movie.resize(movie.size() - 5);
  ASSERT_TRUE(testfiles::write_file(dir.file("m.mov"), movie));
  std::vector<std::vector<uint8_t>> files[2];  // zoduviv's and vizudec's, per thread count
  std::vector<std::string> outs;
  for (const char* threads : {"1", "2", "7"}) {
    const std::vector<std::string> env = {std::string("ZODUVIV_THREADS=") + threads};
    const testfiles::RunResult r = testfiles::run(testfiles::binary("ZODUVIV_BIN"),
                                                  {dir.file("m.mov"), dir.file("c.avi")}, env);
    EXPECT_EQ(r.status, c.truncate ? 1 : 0) << c.name << " threads=" << threads << "\n" << r.out;
    outs.push_back(r.out);
    files[0].push_back(testfiles::read_file(dir.file("c.avi")));
    if (c.truncate) continue;
    const testfiles::RunResult d = testfiles::run(testfiles::binary("VIZUDEC_BIN"),
                                                  {dir.file("c.avi"), dir.file("d.avi")}, env);
    EXPECT_EQ(d.status, 0) << d.out;
    files[1].push_back(testfiles::read_file(dir.file("d.avi")));
  }
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(outs[i], outs[0]) << c.name << " run " << i;
    EXPECT_TRUE(files[0][i] == files[0][0]) << c.name << " run " << i;
    if (!c.truncate) {
      EXPECT_TRUE(files[1][i] == files[1][0]) << c.name << " vizudec run " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Movies, Threads,
                         ::testing::Values(ThreadCase{"raw_many_frames", 24, 16, 23, 12, "raw ",
                                                      false},
                                           ThreadCase{"wrle_noise", 17, 9, 11, 255, "WRLE", false},
                                           ThreadCase{"one_frame", 8, 8, 1, 3, "raw ", false},
                                           ThreadCase{"truncated", 16, 12, 9, 30, "raw ", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
