// vozodivadec in a GstHarness, fed frames of AVI files zoduviv makes, and in the pipelines
// only a pipeline shows. The plugin comes from the build tree through a registry file
// scanned in this process, so that a sanitizer build loads its own instrumented plugin.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testfiles::Bytes;
using testfiles::TempDir;
using Frames = std::vector<Bytes>;  // top-down RGB, rows packed

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
// The texts of the first error and of the first warning waiting on the bus ("" for none).
std::pair<std::string, std::string> first_messages(GstBus* bus) {
  std::string texts[2];  // warning, error
  const auto types = GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING);
  while (GstMessage* m = gst_bus_pop_filtered(bus, types)) {
    GError* e = nullptr;
    const bool is_error = GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR;
    is_error ? gst_message_parse_error(m, &e, nullptr) : gst_message_parse_warning(m, &e, nullptr);
    if (texts[is_error].empty()) texts[is_error] = e->message;
    g_error_free(e);
    gst_message_unref(m);
  }
  return {texts[1], texts[0]};
}

// The Vozodiva frames of zoduviv's AVI file of these frames.
Frames vizu_frames(int w, int h, const Frames& frames) {
  TempDir dir;
  return testfiles::read_avi_bytes(testfiles::read_file(make_avi(dir, w, h, frames))).frames;
}
const std::string kCaps = "video/x-avi-unknown, fourcc=(int)1431980374";
std::string sized(int w, int h) {
  return ", width=" + std::to_string(w) + ", height=" + std::to_string(h) +
         ", framerate=(fraction)30/1";
}
// The element in a harness, started with these properties, given these caps; upstream
// answers the URI query with uri when there is one.
GstHarness* harness(const std::string& options, const std::string& caps,
                    const char* uri = nullptr) {
  init_gstreamer();
  GstHarness* harness = gst_harness_new_parse(("vozodivadec " + options).c_str());
  if (uri != nullptr) {
    const auto answer = [](GstPad*, GstPadProbeInfo* info, gpointer text) {
      GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
      if (GST_QUERY_TYPE(query) != GST_QUERY_URI) return GST_PAD_PROBE_OK;
      gst_query_set_uri(query, static_cast<const char*>(text));
      return GST_PAD_PROBE_HANDLED;
    };
    gst_pad_add_probe(harness->srcpad, GST_PAD_PROBE_TYPE_QUERY_UPSTREAM, answer,
                      const_cast<char*>(uri), nullptr);
  }
  gst_harness_set_src_caps_str(harness, caps.c_str());
  return harness;
}
// Pushes the frames as buffers 1/30 s apart, up to the first that is not taken.
GstFlowReturn push(GstHarness* harness, const Frames& vizu) {
  GstFlowReturn ret = GST_FLOW_OK;
  for (size_t i = 0; i < vizu.size() && ret == GST_FLOW_OK; ++i) {
    GstBuffer* buffer = gst_buffer_new_memdup(vizu[i].data(), vizu[i].size());
    GST_BUFFER_PTS(buffer) = i * GST_SECOND / 30;
    ret = gst_harness_push(harness, buffer);
  }
  return ret;
}
// Up to n pictures waiting at the harness's end, BGR rows of w x h at GStreamer's stride,
// as packed top-down RGB; a buffer of another size comes out empty.
Frames take_pictures(GstHarness* harness, int w, int h, size_t n) {
  const size_t row = size_t(w) * 3;
  const size_t stride = GST_ROUND_UP_4(row);
  Frames out;
  for (GstBuffer* b; out.size() < n && (b = gst_harness_try_pull(harness)) != nullptr;) {
    Bytes bgr(stride * size_t(h));
    Bytes rgb;
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
  GstHarness* h = harness(c.options, kCaps + sized(33, 17));
  gst_harness_set_upstream_latency(h, 0);
  EXPECT_EQ(push(h, vizu_frames(33, 17, frames)), GST_FLOW_OK);
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

// Frames in flight when a flush comes are dropped; those in flight when new caps come are
// finished at their own size.
TEST(GstHarnessed, FlushDropsAndNewCapsFinishTheFramesInFlight) {
  const Frames first = noise_frames(33, 17, 5);
  const Frames second = noise_frames(3, 2, 2);
  const Frames vizu = vizu_frames(33, 17, first);
  GstHarness* h = harness("max-threads=3", kCaps + sized(33, 17));
  EXPECT_EQ(push(h, Frames(vizu.begin(), vizu.begin() + 3)), GST_FLOW_OK);
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_flush_start()));
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_flush_stop(TRUE)));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_segment(&segment)));
  EXPECT_EQ(push(h, Frames(vizu.begin() + 3, vizu.end())), GST_FLOW_OK);
  gst_harness_set_src_caps_str(h, (kCaps + sized(3, 2)).c_str());
  EXPECT_EQ(push(h, vizu_frames(3, 2, second)), GST_FLOW_OK);
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
  EXPECT_EQ(compare(take_pictures(h, 33, 17, 2), Frames(first.begin() + 3, first.end())), "");
  EXPECT_EQ(compare(take_pictures(h, 3, 2, 2), second), "");
  gst_harness_teardown(h);
}

// damaged: the frame whose type byte is spoilt, or -1; error, warning: in the first such
// message, or "" for none; frames: those that come out; uri: upstream's answer to the URI
// query, if any. The caps give no size, the height property 7.
struct ErrorCase {
  const char *name, *options;
  int damaged;
  const char *error, *warning;
  std::vector<int> frames;
  const char* uri = nullptr;
};
class GstErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(GstErrors, AreReportedTheGStreamerWay) {
  const ErrorCase& c = GetParam();
  SCOPED_TRACE(c.name);
  const Frames frames = noise_frames(13, 7, 5);
  Frames vizu = vizu_frames(13, 7, frames);
  if (c.damaged >= 0) vizu[size_t(c.damaged)][0] = 0x7F;
  GstHarness* h = harness("height=7 " + std::string(c.options), kCaps, c.uri);
  GstBus* bus = gst_bus_new();
  gst_element_set_bus(h->element, bus);  // which holds it from here on
  gst_object_unref(bus);
  push(h, vizu);
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
  const auto [error, warning] = first_messages(bus);
  EXPECT_TRUE(error.find(c.error) != std::string::npos && error.empty() == !*c.error) << error;
  EXPECT_TRUE(warning.find(c.warning) != std::string::npos && warning.empty() == !*c.warning)
      << warning;
  Frames want;
  for (int i : c.frames) want.push_back(frames[size_t(i)]);
  EXPECT_EQ(compare(take_pictures(h, 13, 7, 5), want), "");
  gst_bus_set_flushing(bus, TRUE);  // drops the other messages, which hold the element
  gst_harness_teardown(h);
}
INSTANTIATE_TEST_SUITE_P(
    Streams, GstErrors,
    testing::Values(
        ErrorCase{"StopAt1Error", "width=13 max-errors=0", 2, ".066666666 is damaged.", "", {0, 1}},
        ErrorCase{
            "DropOne", "width=13", 2, "", ".066666666 is damaged; it was dropped", {0, 1, 3, 4}},
        ErrorCase{"UnknownSize", "", -1, "frame size of this Vozodiva stream is unknown", "", {}},
        ErrorCase{"RemoteSource",
                  "",
                  -1,
                  "frame size of this Vozodiva stream is unknown",
                  "",
                  {},
                  "http://example.com/clip.avi"}),
    [](const testing::TestParamInfo<ErrorCase>& p) { return std::string(p.param.name); });

// Plays the pipeline (after the seeks, each from a paused pipeline) to its end, its first
// error or a minute: that error, or "".
std::string play(const std::string& description, const std::vector<GstClockTime>& seeks) {
  init_gstreamer();
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (pipeline == nullptr) return "cannot build " + description;
  for (GstClockTime position : seeks) {
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    EXPECT_NE(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND),
              GST_STATE_CHANGE_FAILURE);
    EXPECT_TRUE(gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                                        GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                                        position));
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  const auto types = GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
  GstMessage* end = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND, types);
  if (end != nullptr) gst_bus_post(bus, end);  // back, for first_messages to read
  const std::string error = end == nullptr ? "timed out" : first_messages(bus).first;
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(pipeline);
  return error;
}

// pipeline: FILE is the AVI file of 30 frames of 36 x 20, SINK writes RGB rows at 30 fps
// (the rate from the AVI header; avidemux gives none); first: the first frame out.
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
  const Frames frames = noise_frames(36, 20, 30);
  std::string pipeline = c.pipeline;
  pipeline.replace(pipeline.find("FILE"), 4, make_avi(dir, 36, 20, frames));
  pipeline.replace(pipeline.find("SINK"), 4,
                   "videoconvert ! video/x-raw,format=RGB,framerate=30/1 ! filesink location=" +
                       dir.file("out.rgb"));
  EXPECT_EQ(play(pipeline, c.seeks), "");
  Bytes want;
  for (size_t i = c.first; i < frames.size(); ++i)
    want.insert(want.end(), frames[i].begin(), frames[i].end());
  const Bytes have = testfiles::read_file(dir.file("out.rgb"));
  EXPECT_TRUE(have == want) << have.size() << " bytes, want " << want.size();
}
INSTANTIATE_TEST_SUITE_P(
    Movies, GstFrames,
    testing::Values(FramesCase{"Decodebin", "filesrc location=FILE ! decodebin ! SINK"},
                    FramesCase{"Playbin", "playbin uri=file://FILE video-sink=\"SINK\""},
                    // Back from frame 20, whose successors wait in the threads' queue when
                    // the seek flushes it, into the middle of frame 17's display time.
                    FramesCase{
                        "SeekBackToAMiddleFrame",
                        "filesrc location=FILE ! avidemux ! vozodivadec max-threads=3 ! SINK",
                        {GST_SECOND * 20 / 30, GST_SECOND * 35 / 60},
                        17}),
    [](const testing::TestParamInfo<FramesCase>& p) { return std::string(p.param.name); });

}  // namespace
