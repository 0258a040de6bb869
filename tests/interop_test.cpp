// Interoperability with programs no one here wrote: GStreamer's qtmux makes movies that
// zoduviv must accept, and GStreamer's avidemux must read every frame of what zoduviv
// writes. Skipped (with the reason printed) where GStreamer is not installed.
#include <gtest/gtest.h>

#include <cmath>
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

// The samples of a source or of stream k of a demuxed file, as 32-bit integers (exact for
// every integer sample size); fails the test when there are none.
std::vector<uint8_t> sound_as_s32(std::vector<std::string> source, const std::string& out) {
  source.insert(source.end(), {"!", "audioconvert", "!", "audio/x-raw,format=S32LE", "!",
                               "filesink", "location=" + out});
  const RunResult r = gst(source);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<uint8_t> samples = testfiles::read_file(out);
  EXPECT_FALSE(samples.empty()) << source[0];
  return samples;
}

// Movies as qtmux writes them (fast start or not, padded rows, sound tracks first, a reserved
// movie atom, fragments), in both modes: the -u file's frames are qtdemux's without the row
// padding (and avidemux's where rows are 4-byte rows), its sound is each source's, the
// compressed file decodes to it, and vizudec -c finds it equal to the movie.
TEST(Interop, QtmuxMoviesConvertToTheirFrames) {
  if (!have_gstreamer()) GTEST_SKIP() << "GStreamer (gst-launch-1.0) is not installed";
  const std::string zoduviv = testfiles::binary("ZODUVIV_BIN");
  const std::string vizudec = testfiles::binary("VIZUDEC_BIN");
  const struct {
    int width, height;
    const char* qtmux;
    const char* sound;  // the sample format of each sound track, ahead of the video track
    int sound_tracks;
  } kRows[] = {{80, 60, "faststart=true", "", 0},
               {640, 480, "faststart=false", "S32BE", 2},
               {322, 20, "faststart=false", "", 0},
               {321, 21, "faststart=true", "S16LE", 1},
               {40, 20, "reserved-max-duration=10000000000", "U8", 1},
               {33, 20, "reserved-max-duration=10000000000", "S16BE", 1},
               {32, 20, "fragment-duration=120", "S24BE", 1},
               {33, 20, "fragment-duration=80", "S8", 1}};
  for (const auto& row : kRows) {
    const std::string size =
        "width=" + std::to_string(row.width) + ",height=" + std::to_string(row.height);
    SCOPED_TRACE(size + " " + row.qtmux);
    TempDir dir;
    const std::string movie = dir.file("m.mov");
    std::vector<std::string> pipeline = {"videotestsrc",
                                         "num-buffers=12",
                                         "pattern=ball",
                                         "!",
                                         "video/x-raw,format=RGB,framerate=25/1," + size,
                                         "!",
                                         "q.video_0",
                                         "qtmux",
                                         "name=q",
                                         row.qtmux,
                                         "!",
                                         "filesink",
                                         "location=" + movie};
    // Each sound track's source; qtmux numbers the tracks in the order of the launch line.
    std::vector<std::vector<std::string>> sounds(size_t(row.sound_tracks));
    for (int k = row.sound_tracks - 1; k >= 0; --k) {
      sounds[size_t(k)] = {"audiotestsrc", "num-buffers=4", "wave=" + std::to_string(k), "!",
                           std::string("audio/x-raw,format=") + row.sound};
      pipeline.insert(pipeline.begin(), {"!", "q.audio_" + std::to_string(k)});
      pipeline.insert(pipeline.begin(), sounds[size_t(k)].begin(), sounds[size_t(k)].end());
    }
    RunResult r = gst(pipeline);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = gst({"filesrc", "location=" + movie, "!", "qtdemux", "name=d", "d.video_0", "!", "filesink",
             "location=" + dir.file("m.rgb")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = testfiles::run(zoduviv, {"-u", movie, dir.file("u.avi")});
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* line : {"Frame rate = 25.000000\n", "12 frames indexed\n"})
      EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    const std::vector<uint8_t> padded = testfiles::read_file(dir.file("m.rgb"));
    const size_t row_bytes = size_t(row.width) * 3, stride = (row_bytes + 3) / 4 * 4;
    if (row_bytes == stride) {
      EXPECT_EQ(demux_avi_as_rgb(dir.file("u.avi"), dir.file("u.rgb")), padded);
    }
    const testfiles::AviFile avi =
        testfiles::read_avi_bytes(testfiles::read_file(dir.file("u.avi")));
    ASSERT_EQ(padded.size(), 12 * stride * size_t(row.height));
    ASSERT_EQ(avi.frames.size(), 12u);
    // Each sound chunk starts within a second of play time of the next frame in the file.
    for (const AviAudio& a : avi.info.audio) {
      uint64_t blocks = 0;
      for (const AviFrame& chunk : a.chunks) {
        size_t next = 0;
        while (next < 12 && avi.info.frames[next].offset < chunk.offset) ++next;
        EXPECT_LE(std::abs(double(blocks) / a.format.sample_rate - next / 25.0), 1.0) << blocks;
        blocks += chunk.size / a.format.block_align;
      }
    }
    for (size_t i = 0; i < 12; ++i) {
      std::vector<uint8_t> packed;
      for (size_t y = 0; y < size_t(row.height); ++y) {
        const auto from = padded.begin() + long((i * size_t(row.height) + y) * stride);
        packed.insert(packed.end(), from, from + long(row_bytes));
      }
      EXPECT_EQ(avi.frames[i], testfiles::expected_dib(packed, row.width, row.height, true)) << i;
    }
    r = testfiles::run(zoduviv, {movie, dir.file("c.avi")});
    ASSERT_EQ(r.status, 0) << r.out;
    r = testfiles::run(vizudec, {dir.file("c.avi"), dir.file("d.avi")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(testfiles::read_file(dir.file("d.avi")) == testfiles::read_file(dir.file("u.avi")));
    r = testfiles::run(vizudec, {"-c", movie, dir.file("c.avi")});
    EXPECT_EQ(r.status, 0) << r.out;
    for (int k = 0; k < row.sound_tracks; ++k)
      EXPECT_EQ(sound_as_s32({"filesrc", "location=" + dir.file("c.avi"), "!", "avidemux", "name=d",
                              "d.audio_" + std::to_string(k)},
                             dir.file("c.raw")),
                sound_as_s32(sounds[size_t(k)], dir.file("s.raw")))
          << "sound track " << k;
    if (row.sound_tracks == 0) continue;
    // A changed sound byte is named.
    std::vector<uint8_t> c = testfiles::read_file(dir.file("c.avi"));
    c[testfiles::read_avi_bytes(c).info.audio.at(0).chunks.at(0).offset + 5] ^= 1;
    ASSERT_TRUE(testfiles::write_file(dir.file("c.avi"), c));
    r = testfiles::run(vizudec, {"-c", movie, dir.file("c.avi")});
    EXPECT_NE(r.out.find("differs from the movie's: first at sample "), std::string::npos) << r.out;
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
