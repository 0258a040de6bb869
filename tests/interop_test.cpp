// Interoperability with programs no one here wrote: GStreamer's qtmux makes movies that
// zoduviv must accept, and GStreamer's avidemux must read every frame of what zoduviv
// writes. Skipped (with the reason printed) where GStreamer is not installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testfiles::RunResult;
using testfiles::TempDir;

const char kGst[] = "/usr/bin/gst-launch-1.0";

bool have_gstreamer() { return testfiles::file_exists(kGst); }

RunResult gst(const std::vector<std::string>& pipeline) {
  std::vector<std::string> args = {"-q"};
  args.insert(args.end(), pipeline.begin(), pipeline.end());
  return testfiles::run(kGst, args);
}

// Every frame avidemux gives for the AVI file, converted to top-down RGB, concatenated.
std::vector<uint8_t> demux_avi_as_rgb(const std::string& avi, const std::string& out) {
  const RunResult r = gst({"filesrc", "location=" + avi, "!", "avidemux", "!", "videoconvert", "!",
                           "video/x-raw,format=RGB", "!", "filesink", "location=" + out});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return testfiles::read_file(out);
}

TEST(Interop, AvidemuxReadsEveryFrameOfAnUncompressedFile) {
  if (!have_gstreamer()) GTEST_SKIP() << "GStreamer (gst-launch-1.0) is not installed";
  TempDir dir;
  // GStreamer pads RGB rows to 4 bytes, AVI DIB rows are taken to be padded too: a width
  // of a multiple of 4 keeps both layouts the same as our packed rows.
  testmov::MovieRecipe recipe;
  recipe.width = 64;
  recipe.height = 36;
  recipe.frames_per_chunk = {3, 3, 1};
  recipe.chunk_order = {1, 2, 0};
  for (int i = 0; i < 7; ++i) recipe.frames.push_back(testmov::make_frame(64, 36, 100 + i, 20));
  ASSERT_TRUE(testmov::write_movie(dir.file("m.mov"), recipe));
  const RunResult z = testfiles::run(testfiles::binary("ZODUVIV_BIN"),
                                     {"-u", dir.file("m.mov"), dir.file("u.avi")});
  ASSERT_EQ(z.status, 0) << z.out;

  const std::vector<uint8_t> frames = demux_avi_as_rgb(dir.file("u.avi"), dir.file("frames.rgb"));
  const size_t frame_size = 64 * 36 * 3;
  ASSERT_EQ(frames.size(), frame_size * recipe.frames.size());
  for (size_t i = 0; i < recipe.frames.size(); ++i) {
    const std::vector<uint8_t> got(frames.begin() + long(i * frame_size),
                                   frames.begin() + long((i + 1) * frame_size));
    EXPECT_EQ(got, recipe.frames[i]) << "frame " << i;
  }
}

// qtmux movies, with the movie atom first (fast start) or after the frames (qtmux's
// default; at 640x480 it lies beyond the first 9,240,576 bytes): zoduviv takes them, the
// two forms give the same AVI files in both modes, avidemux gives back qtdemux's frames
// from the -u file, and the compressed file decodes to the -u file.
TEST(Interop, QtmuxMoviesInEitherFormConvertTheSame) {
  if (!have_gstreamer()) GTEST_SKIP() << "GStreamer (gst-launch-1.0) is not installed";
  const std::string zoduviv = testfiles::binary("ZODUVIV_BIN");
  for (const char* size : {"width=80,height=60", "width=640,height=480"}) {
    TempDir dir;
    std::vector<std::vector<uint8_t>> avis;  // -u then compressed, fast start first
    for (const char* faststart : {"faststart=true", "faststart=false"}) {
      const std::string movie = dir.file("m.mov");
      RunResult r = gst({"videotestsrc", "num-buffers=12", "pattern=ball", "!",
                         std::string("video/x-raw,format=RGB,framerate=25/1,") + size, "!", "qtmux",
                         faststart, "!", "filesink", "location=" + movie});
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      for (const bool u : {true, false}) {
        r = testfiles::run(zoduviv, u ? std::vector<std::string>{"-u", movie, dir.file("o.avi")}
                                      : std::vector<std::string>{movie, dir.file("o.avi")});
        ASSERT_EQ(r.status, 0) << size << " " << faststart << "\n" << r.out;
        for (const char* line : {"Frame rate = 25.000000\n", "12 frames indexed\n"})
          EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
        avis.push_back(testfiles::read_file(dir.file("o.avi")));
      }
    }
    EXPECT_TRUE(avis[0] == avis[2]) << size << ": -u files differ";
    EXPECT_TRUE(avis[1] == avis[3]) << size << ": compressed files differ";
    // The last movie's own frames as qtdemux gives them (top-down RGB), and the files.
    RunResult r = gst({"filesrc", "location=" + dir.file("m.mov"), "!", "qtdemux", "!", "filesink",
                       "location=" + dir.file("m.rgb")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    testfiles::write_file(dir.file("u.avi"), avis[2]);
    testfiles::write_file(dir.file("c.avi"), avis[3]);
    EXPECT_EQ(demux_avi_as_rgb(dir.file("u.avi"), dir.file("u.rgb")),
              testfiles::read_file(dir.file("m.rgb")));
    r = testfiles::run(testfiles::binary("VIZUDEC_BIN"), {dir.file("c.avi"), dir.file("d.avi")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(testfiles::read_file(dir.file("d.avi")) == avis[2]) << size;
  }
}

// avidemux gives back the exact sound bytes of a file with video and sound, written plain and
// past a lowered RIFF limit ('AVIX' lists, each stream's 'indx' and standard indexes).
TEST(Interop, AvidemuxReadsTheSoundBytes) {
  if (!have_gstreamer()) GTEST_SKIP() << "GStreamer (gst-launch-1.0) is not installed";
  TempDir dir;
  for (const uint64_t limit : {kDefaultRiffLimit, uint64_t{200000}}) {
    const std::string avi = dir.file("s.avi"), raw = dir.file("s.raw");
    AviWriter writer;
    writer.riff_limit = limit;
    ASSERT_EQ(writer.add_audio_stream({1, 2, 48000, 16, 4}), 1);
    ASSERT_EQ(writer.init(avi.c_str(), 16, 8, 25, 1, 0), 1);
    std::vector<uint8_t> sound, frame(16 * 8 * 3 + 3, 0x55);
    for (int i = 0; i < 100; ++i) {
      std::vector<uint8_t> chunk(7680);  // 1/25 s
      for (size_t k = 0; k < chunk.size(); ++k) chunk[k] = uint8_t(i * 31 + k * 7);
      ASSERT_EQ(writer.write_audio(1, chunk.data(), uint32_t(chunk.size())), FrameWrite::kWritten);
      sound.insert(sound.end(), chunk.begin(), chunk.end());
      ASSERT_EQ(writer.write_frame(frame.data(), 16 * 8 * 3, 0x10), FrameWrite::kWritten);
    }
    ASSERT_EQ(writer.flush(), 1);
    const RunResult r =
        gst({"filesrc", "location=" + avi, "!", "avidemux", "name=d", "d.audio_0", "!", "queue",
             "!", "filesink", "location=" + raw, "d.video_0", "!", "queue", "!", "fakesink"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(testfiles::read_file(raw) == sound) << "limit " << limit;
  }
}

}  // namespace
