// The element vozodivadec on its own (GstHarness: flushes, caps, drains and threads, fed the
// frames of AVI files zoduviv makes from generated movies) and in the real pipelines only
// a pipeline shows (decodebin, playbin, a seek, avidemux's messages). The plugin is found in the
// build tree through a private registry file, scanned in this process so that a sanitizer build
// loads its own instrumented plugin.
#include <fcntl.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testfiles::TempDir;
using Frames = std::vector<std::vector<uint8_t>>;  // top-down RGB, rows packed

// GLib drops its first quark table, allocated while it is loaded, once the registry scan
// has loaded every plugin into this process; only full stacks show that it is GLib's.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }

void init_gstreamer() {
  if (gst_is_initialized()) return;
  setenv("GST_PLUGIN_PATH", VOZODIVA_PLUGIN_DIR, 1);
  setenv("GST_REGISTRY", VOZODIVA_REGISTRY, 1);
  setenv("GST_REGISTRY_FORK", "no", 1);
  gst_init(nullptr, nullptr);
}
Frames solid_frames(int w, int h, const std::vector<uint32_t>& colours) {
  Frames frames;
  for (uint32_t c : colours) {
    std::vector<uint8_t> f(size_t(w) * size_t(h) * 3);
    for (size_t i = 0; i < f.size(); ++i) f[i] = uint8_t(c >> (16 - 8 * (i % 3)));
    frames.push_back(f);
  }
  return frames;
}
Frames noise_frames(int w, int h, int n) {
  Frames frames;
  for (int i = 0; i < n; ++i) frames.push_back(testmov::make_frame(w, h, 7 + uint32_t(i), 40));
  return frames;
}
// zoduviv's compressed AVI file of a 30 fps "raw " movie of these frames.
std::string make_avi(const TempDir& dir, int w, int h, const Frames& frames) {
  testmov::MovieRecipe recipe;
  recipe.width = w, recipe.height = h, recipe.frames = frames;
  EXPECT_TRUE(testmov::write_movie(dir.file("m.mov"), recipe));
  const auto r =
      testfiles::run(testfiles::binary("ZODUVIV_BIN"), {dir.file("m.mov"), dir.file("c.avi")});
  EXPECT_EQ(r.status, 0) << r.out;
  return dir.file("c.avi");
}
// Empty when the frames are the same; else where they first differ.
std::string compare(const Frames& have, const Frames& want) {
  for (size_t i = 0; i < std::min(have.size(), want.size()); ++i)
    if (have[i] != want[i]) return "frame " + std::to_string(i) + " differs";
  if (have.size() == want.size()) return "";
  return "have " + std::to_string(have.size()) + " frames, want " + std::to_string(want.size());
}
struct Outcome {
  Frames frames;
  std::string error, warning, rate;
};  // first error, warning; caps' rate

void append_frame(GstSample* sample, Outcome& o) {
  GstVideoInfo info;
  GstVideoFrame video;
  ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
  ASSERT_TRUE(gst_video_frame_map(&video, &info, gst_sample_get_buffer(sample), GST_MAP_READ));
  const auto* data = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&video, 0));
  const size_t row = size_t(info.width) * 3;
  std::vector<uint8_t> f;
  for (int y = 0; y < info.height; ++y) {
    const uint8_t* line = data + size_t(y) * size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&video, 0));
    f.insert(f.end(), line, line + row);
  }
  gst_video_frame_unmap(&video);
  o.frames.push_back(f);
  o.rate = std::to_string(info.fps_n) + "/" + std::to_string(info.fps_d);
}
const std::string kToRgb = "videoconvert ! video/x-raw,format=RGB ! appsink name=out sync=false";

// Plays the pipeline (after the seeks, each from a paused pipeline) to its end, its first
// error or a minute, and collects what its appsink "out" receives.
Outcome launch(const std::string& description, const std::vector<GstClockTime>& seeks = {}) {
  init_gstreamer();
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (pipeline == nullptr) ADD_FAILURE() << "cannot build " << description;
  if (pipeline == nullptr) return {};
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
  if (sink == nullptr) {  // playbin's, inside its video-sink
    GstElement* bin = nullptr;
    g_object_get(pipeline, "video-sink", &bin, nullptr);
    sink = gst_bin_get_by_name(GST_BIN(bin), "out");
    gst_object_unref(bin);
  }
  for (GstClockTime position : seeks) {
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    EXPECT_NE(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND),
              GST_STATE_CHANGE_FAILURE);
    EXPECT_TRUE(gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                                        GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                                        position));
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  Outcome o;
  GstBus* bus = gst_element_get_bus(pipeline);
  const gint64 deadline = g_get_monotonic_time() + 60 * G_USEC_PER_SEC;
  gboolean eos = FALSE;
  for (;;) {  // after the end or an error, until no more samples come
    GstSample* sample = nullptr;
    g_signal_emit_by_name(sink, "try-pull-sample", GstClockTime(20 * GST_MSECOND), &sample);
    if (sample != nullptr) {
      append_frame(sample, o), gst_sample_unref(sample);
      continue;
    }
    if (eos || !o.error.empty()) break;
    while (GstMessage* m =
               gst_bus_pop_filtered(bus, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING))) {
      GError* e = nullptr;
      const bool is_error = GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR;
      is_error ? gst_message_parse_error(m, &e, nullptr)
               : gst_message_parse_warning(m, &e, nullptr);
      if (std::string& text = is_error ? o.error : o.warning; text.empty()) text = e->message;
      g_error_free(e), gst_message_unref(m);
    }
    g_object_get(sink, "eos", &eos, nullptr);
    if (g_get_monotonic_time() > deadline) o.error = "timed out";
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus), gst_object_unref(sink), gst_object_unref(pipeline);
  return o;
}
// pipeline: FILE is the AVI file of 30 frames of 35 x 20, kToRgb follows or replaces SINK;
// first: the first frame that comes out.
struct FramesCase {
  const char* name;
  std::string pipeline;
  std::vector<GstClockTime> seeks = {};
  size_t first = 0;
};
class GstFrames : public testing::TestWithParam<FramesCase> {};

TEST_P(GstFrames, AreExactlyTheMoviesFrames) {
  const FramesCase& c = GetParam();
  SCOPED_TRACE(c.name);
  TempDir dir;
  const Frames frames = noise_frames(35, 20, 30);
  std::string pipeline = c.pipeline;
  pipeline.replace(pipeline.find("FILE"), 4, make_avi(dir, 35, 20, frames));
  if (pipeline.find("SINK") == std::string::npos) pipeline += " ! SINK";
  pipeline.replace(pipeline.find("SINK"), 4, kToRgb);
  const Outcome o = launch(pipeline, c.seeks);
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.rate, "30/1");  // from the AVI header; avidemux gives none
  EXPECT_EQ(compare(o.frames, Frames(frames.begin() + long(c.first), frames.end())), "");
}
INSTANTIATE_TEST_SUITE_P(
    Movies, GstFrames,
    testing::Values(FramesCase{"Decodebin", "filesrc location=FILE ! decodebin"},
                    FramesCase{"Playbin", "playbin uri=file://FILE video-sink=\"SINK\""},
                    // Back from frame 20, whose successors wait in the threads' queue when
                    // the seek flushes it, into the middle of frame 17's display time.
                    FramesCase{"SeekBackToAMiddleFrame",
                               "filesrc location=FILE ! avidemux ! vozodivadec max-threads=3",
                               {GST_SECOND * 20 / 30, GST_SECOND * 35 / 60},
                               17}),
    [](const testing::TestParamInfo<FramesCase>& p) { return std::string(p.param.name); });

// The element in a harness, started with these properties, given caps of w x h at 30 fps.
GstHarness* harness(const std::string& options, int w, int h) {
  init_gstreamer();
  GstHarness* harness = gst_harness_new_parse(("vozodivadec " + options).c_str());
  gst_harness_set_src_caps_str(
      harness, ("video/x-avi-unknown, fourcc=(int)1431980374, width=" + std::to_string(w) +
                ", height=" + std::to_string(h) + ", framerate=(fraction)30/1")
                   .c_str());
  return harness;
}
// Pushes the Vozodiva frames of zoduviv's AVI file of these frames.
void push_frames(GstHarness* harness, int w, int h, const Frames& frames) {
  TempDir dir;
  const testfiles::AviFile avi =
      testfiles::read_avi_bytes(testfiles::read_file(make_avi(dir, w, h, frames)));
  for (const testfiles::Bytes& f : avi.frames)
    EXPECT_EQ(gst_harness_push(harness, gst_buffer_new_memdup(f.data(), f.size())), GST_FLOW_OK);
}
// The pictures waiting at the harness's end, BGR rows of w x h at GStreamer's stride, as
// packed top-down RGB; a buffer of another size comes out empty.
Frames take_pictures(GstHarness* harness, int w, int h, size_t n) {
  const size_t row = size_t(w) * 3;
  const size_t stride = GST_ROUND_UP_4(row);
  Frames out;
  for (GstBuffer* b; out.size() < n && (b = gst_harness_try_pull(harness)) != nullptr;) {
    std::vector<uint8_t> bgr(stride * size_t(h));
    std::vector<uint8_t> rgb;
    const bool fits = gst_buffer_get_size(b) == bgr.size();
    gst_buffer_extract(b, 0, bgr.data(), bgr.size());
    for (size_t y = 0; fits && y < size_t(h); ++y)
      for (size_t x = y * stride; x < y * stride + row; x += 3)
        rgb.insert(rgb.end(), {bgr[x + 2], bgr[x + 1], bgr[x]});
    out.push_back(rgb);
    gst_buffer_unref(b);
  }
  return out;
}

// in_flight: the frames the element holds back, and reports as its latency.
struct ThreadsCase {
  const char *name, *options;
  guint in_flight;
};
class GstThreads : public testing::TestWithParam<ThreadsCase> {};

TEST_P(GstThreads, GiveTheSamePicturesAndDrainAtTheEnd) {
  const ThreadsCase& c = GetParam();
  SCOPED_TRACE(c.name);
  const Frames frames = noise_frames(33, 17, 20);
  GstHarness* h = harness(c.options, 33, 17);
  gst_harness_set_upstream_latency(h, 0);
  push_frames(h, 33, 17, frames);
  EXPECT_EQ(gst_harness_query_latency(h), c.in_flight * GST_SECOND / 30);
  EXPECT_EQ(gst_harness_buffers_in_queue(h), 20 - c.in_flight);
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
  EXPECT_EQ(compare(take_pictures(h, 33, 17, 20), frames), "");
  gst_harness_teardown(h);
}
INSTANTIATE_TEST_SUITE_P(
    Counts, GstThreads,
    testing::Values(ThreadsCase{"OneThread", "max-threads=1", 0},
                    ThreadsCase{"ThreeThreads", "max-threads=3", 6},
                    ThreadsCase{"SixteenThreadsEightFrames", "max-threads=16", 8},
                    ThreadsCase{"MoreFramesAsked", "max-threads=16 max-frames-in-flight=12", 12},
                    ThreadsCase{"FewerFramesAsked", "max-threads=3 max-frames-in-flight=2", 2},
                    ThreadsCase{"OneFrameNoWorkers", "max-threads=0 max-frames-in-flight=1", 0}),
    [](const testing::TestParamInfo<ThreadsCase>& p) { return std::string(p.param.name); });

TEST(GstHarnessed, FlushDropsTheFramesInFlight) {
  const Frames frames = noise_frames(20, 12, 5);
  GstHarness* h = harness("max-threads=3", 20, 12);
  push_frames(h, 20, 12, Frames(frames.begin(), frames.begin() + 3));
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_flush_start()));
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_flush_stop(TRUE)));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_segment(&segment)));
  push_frames(h, 20, 12, Frames(frames.begin() + 3, frames.end()));
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
  EXPECT_EQ(compare(take_pictures(h, 20, 12, 5), Frames(frames.begin() + 3, frames.end())), "");
  gst_harness_teardown(h);
}

TEST(GstHarnessed, SecondCapsFinishTheFramesOfTheFirst) {
  const Frames first = noise_frames(33, 17, 2);
  const Frames second = noise_frames(3, 2, 2);
  GstHarness* h = harness("max-threads=3", 33, 17);
  push_frames(h, 33, 17, first);
  gst_harness_set_src_caps_str(h, "video/x-avi-unknown, fourcc=(int)1431980374, width=3, height=2");
  push_frames(h, 3, 2, second);
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
  EXPECT_EQ(compare(take_pictures(h, 33, 17, 2), first), "");
  EXPECT_EQ(compare(take_pictures(h, 3, 2, 2), second), "");
  gst_harness_teardown(h);
}

// through_fd: fdsrc, which names no file; damaged: the frame whose type byte is spoilt, or -1;
// error, warning: in the first such message, or "" for none; frames: those that come out.
struct ErrorCase {
  const char *name, *options;
  bool through_fd;
  int damaged;
  const char *error, *warning;
  std::vector<int> frames;
};
class GstErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(GstErrors, AreReportedTheGStreamerWay) {
  const ErrorCase& c = GetParam();
  TempDir dir;
  // avidemux reads a stream (fdsrc) only in small blocks, and only 4-byte chunks (single
  // colours): it steps over chunks by RIFF's 2-byte padding, not by zoduviv's 4 bytes.
  const Frames frames = solid_frames(13, 7, {0x102030, 0x405060, 0x708090, 0xA0B0C0, 0xD0E0F0});
  const std::string avi = make_avi(dir, 13, 7, frames);
  if (c.damaged >= 0) {
    std::vector<uint8_t> bytes = testfiles::read_file(avi);
    std::ifstream in(avi, std::ios::binary);
    AviInfo info;
    std::string why;
    ASSERT_TRUE(read_avi(in, bytes.size(), info, why)) << why;
    bytes[info.frames[size_t(c.damaged)].offset] = 0x7F;
    ASSERT_TRUE(testfiles::write_file(avi, bytes));
  }
  const int fd = open(avi.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const std::string source =
      c.through_fd ? "fdsrc blocksize=64 fd=" + std::to_string(fd) : "filesrc location=" + avi;
  const Outcome o = launch(source + " ! avidemux ! vozodivadec " + c.options + " ! " + kToRgb);
  close(fd);
  EXPECT_TRUE(o.error.find(c.error) != std::string::npos && o.error.empty() == !*c.error)
      << o.error;
  EXPECT_NE(o.warning.find(c.warning), std::string::npos) << o.warning;
  Frames want;
  for (int i : c.frames) want.push_back(frames[size_t(i)]);
  EXPECT_EQ(compare(o.frames, want), "");
}
INSTANTIATE_TEST_SUITE_P(
    Streams, GstErrors,
    testing::Values(
        ErrorCase{"DamagedFrameStopsAtMaxErrors0",
                  "max-errors=0",
                  false,
                  2,
                  "frame at 0:00:00.066666666 is damaged",
                  "",
                  {0, 1}},
        ErrorCase{"DamagedFrameDroppedByDefault",
                  "",
                  false,
                  2,
                  "",
                  "frame at 0:00:00.066666666 is damaged; it was dropped",
                  {0, 1, 3, 4}},
        ErrorCase{
            "UnknownSize", "", true, -1, "frame size of this Vozodiva stream is unknown", "", {}},
        ErrorCase{"SizeFromProperties", "width=13 height=7", true, -1, "", "", {0, 1, 2, 3, 4}}),
    [](const testing::TestParamInfo<ErrorCase>& p) { return std::string(p.param.name); });

}  // namespace
