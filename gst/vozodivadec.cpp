// gst/vozodivadec.cpp: the vozodivadec element and the vozodiva plugin that holds it.
#include "gst/vozodivadec.h"

#include <gst/video/video.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "common/common.h"

GST_DEBUG_CATEGORY_STATIC(vozodivadec_debug);
#define GST_CAT_DEFAULT vozodivadec_debug

namespace {

// Some writers put the handler's lower-case form in biCompression too.
constexpr uint32_t kVizuLower = fourcc("vizu");
// Frames decoded ahead of the one being pushed, unless max-frames-in-flight asks for more:
// each adds a frame period of latency.
constexpr int kDefaultFramesInFlight = 8;
constexpr int kMaxThreads = 256;

enum { PROP_0, PROP_WIDTH, PROP_HEIGHT, PROP_MAX_THREADS, PROP_MAX_FRAMES_IN_FLIGHT };

// One frame in flight.
struct Slot {
  GstVideoCodecFrame* frame = nullptr;  // our reference, held until the frame is finished
  GstMapInfo in = GST_MAP_INFO_INIT;    // its input buffer, mapped while it is decoded
  bool mapped = false;
  bool decoded = false;                // written by the worker
  uint64_t job = 0;                    // the job that decodes it
  std::unique_ptr<uint8_t[]> picture;  // width x height x 3 bytes, bottom row first
};

// The frames of one geometry on their way through the workers. Frame n uses slot
// n % slots: the streaming thread fills it and hands it to a job, a worker decodes the
// job's frames into their slots' pictures, and the streaming thread takes the frames
// back in the order they came. With workers and room for a pair per worker, a job holds
// two frames in a row, whose six range codes one worker decodes in one pass; a frame
// waits for its partner only while no frame is taken, and one that is taken first goes
// alone. Only the streaming thread touches GStreamer objects; a worker sees bytes only.
class FrameQueue {
 public:
  FrameQueue(int width, int height) : width_(width), height_(height) {}
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;

  // Decodes on up to `threads` workers with at most in_flight frames queued. False when
  // frames of this size cannot be decoded or memory is short.
  [[nodiscard]] bool begin(int threads, int in_flight) {
    const size_t frame = static_cast<size_t>(width_) * static_cast<size_t>(height_) * 3;
    // A worker holds two pictures and a decoder of under three frames, six for pairs.
    const size_t by_memory = std::max<size_t>(1, kInFlightBytes / 8 / std::max<size_t>(1, frame));
    threads = static_cast<int>(std::min(static_cast<size_t>(std::max(threads, 1)), by_memory));
    try {
      work_ = std::make_unique<OrderedWork>(
          threads, [this](int worker, int job) { run(worker, jobs_[static_cast<size_t>(job)]); },
          in_flight);
      pairs_ = work_->workers() > 0 && work_->slots() >= 2 * work_->workers();
      for (int w = 0; w < std::max(work_->workers(), 1); ++w) {
        decoders_.push_back(std::make_unique<FrameDecoder>());
        if (!decoders_.back()->Begin(width_, height_, pairs_)) return false;
      }
      slots_.resize(static_cast<size_t>(work_->slots()));
      jobs_.resize(slots_.size());
      for (Slot& slot : slots_) {
        slot.picture.reset(new (std::nothrow) uint8_t[frame]);
        if (!slot.picture) return false;
      }
      work_->start();
    } catch (const std::exception&) {  // a thread or a small allocation refused
      return false;
    }
    return true;
  }

  int width() const { return width_; }
  int height() const { return height_; }
  bool threaded() const { return work_->workers() > 0; }
  // Frames that may wait in the queue before one comes out.
  int lag() const { return threaded() ? work_->slots() : 0; }
  bool empty() const { return pending_ == 0; }
  bool full() const { return pending_ == slots_.size(); }

  // Hands the frame (our reference) to a worker, or decodes it now when there are none.
  // The queue must not be full.
  void submit(GstVideoCodecFrame* frame) {
    const size_t at = next_ % slots_.size();
    Slot& slot = slots_[at];
    slot.frame = frame;
    slot.mapped = gst_buffer_map(frame->input_buffer, &slot.in, GST_MAP_READ);
    slot.job = jobs_submitted_;
    ++next_;
    ++pending_;
    if (!pairs_) {
      submit_job(at, 1);
    } else if (held_) {
      submit_job((at + slots_.size() - 1) % slots_.size(), 2);
    } else {
      held_ = true;  // goes with the next frame
    }
  }

  // Waits for the oldest frame and gives it back (our reference). picture is its decoded
  // picture, valid until the next submit, or null when the frame is damaged.
  GstVideoCodecFrame* take(const uint8_t** picture) {
    const uint64_t n = next_ - pending_;
    const size_t at = n % slots_.size();
    if (held_ && n + 1 == next_) submit_job(at, 1);  // its partner has not come
    Slot& slot = slots_[at];
    work_->wait(slot.job);
    if (slot.mapped) gst_buffer_unmap(slot.frame->input_buffer, &slot.in);
    slot.mapped = false;
    *picture = slot.decoded ? slot.picture.get() : nullptr;
    GstVideoCodecFrame* frame = slot.frame;
    slot.frame = nullptr;
    --pending_;
    return frame;
  }

 private:
  // One or two frames in a row, from slot `first` on, decoded by one worker.
  struct Job {
    size_t first = 0;
    int count = 1;
  };

  void submit_job(size_t first, int count) {
    jobs_[jobs_submitted_ % jobs_.size()] = Job{first, count};
    held_ = false;
    work_->submit(jobs_submitted_++);
  }

  // Runs on a worker; a frame that fails in any way is a damaged frame.
  void run(int worker, const Job& job) noexcept {
    FrameDecoder& decoder = *decoders_[static_cast<size_t>(worker)];
    Slot* two[2] = {&slots_[job.first], &slots_[(job.first + 1) % slots_.size()]};
    if (job.count == 2 && two[0]->mapped && two[1]->mapped) {
      try {
        const unsigned char* const in[2] = {two[0]->in.data, two[1]->in.data};
        const size_t in_len[2] = {two[0]->in.size, two[1]->in.size};
        unsigned char* const out[2] = {two[0]->picture.get(), two[1]->picture.get()};
        bool ok[2] = {false, false};
        decoder.DecodeTwo(in, in_len, out, ok);
        two[0]->decoded = ok[0];
        two[1]->decoded = ok[1];
        return;
      } catch (...) {
      }
    }
    for (int k = 0; k < job.count; ++k) decode(decoder, *two[k]);
  }

  static void decode(FrameDecoder& decoder, Slot& slot) noexcept {
    try {
      slot.decoded = slot.mapped && decoder.Decode(slot.in.data, slot.in.size, slot.picture.get());
    } catch (...) {
      slot.decoded = false;
    }
  }

  const int width_;
  const int height_;
  uint64_t next_ = 0;   // number of the next frame submitted
  size_t pending_ = 0;  // frames submitted and not yet taken back
  uint64_t jobs_submitted_ = 0;
  bool pairs_ = false;  // frames go to the workers two at a time
  bool held_ = false;   // the last frame submitted waits for its partner
  std::vector<std::unique_ptr<FrameDecoder>> decoders_;  // one per worker
  std::vector<Slot> slots_;
  std::vector<Job> jobs_;              // job j in j % slots
  std::unique_ptr<OrderedWork> work_;  // last: its workers stop before the slots go
};

// The stream's frame size and rate.
struct StreamFacts {
  int width = 0;
  int height = 0;
  int fps_n = 0;  // 0: unknown
  int fps_d = 1;
};

}  // namespace

struct _GstVozodivaDec {
  GstVideoDecoder parent;
  // Properties, guarded by the object lock.
  gint width_property;  // 0: not set
  gint height_property;
  gint max_threads;  // 0: one per core
  gint max_frames_in_flight;
  // C++ members, constructed in place by init and destroyed by finalize; the streaming
  // thread's own.
  struct State {
    std::unique_ptr<FrameQueue> queue;
    GstVideoInfo out_info;
    int threads = 1;
    int in_flight = kDefaultFramesInFlight;
    // The headers of the source file, read once: the URI they came from, and what they say.
    std::string source_uri;
    StreamFacts source_facts;
  } state;
};

G_DEFINE_TYPE(GstVozodivaDec, gst_vozodiva_dec, GST_TYPE_VIDEO_DECODER)

namespace {

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("video/x-avi-unknown, fourcc = (int) 1431980374"));

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) BGR, width = (int) [ 1, max ], "
                    "height = (int) [ 1, max ], framerate = (fraction) [ 0/1, max ], "
                    "pixel-aspect-ratio = (fraction) 1/1"));

// Runs the body of a GStreamer callback. No C++ exception crosses into GStreamer's C code:
// one becomes an element error, and the callback returns failed.
template <typename R, typename Body>
R guarded(GstVozodivaDec* self, R failed, Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("Not enough memory to decode Vozodiva video."),
                      (nullptr));
  } catch (const std::exception& e) {
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Vozodiva video cannot be decoded."), ("%s", e.what()));
  } catch (...) {
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Vozodiva video cannot be decoded."), (nullptr));
  }
  return failed;
}

// The size and rate as the caps give them, where upstream put them there.
bool facts_from_caps(GstCaps* caps, StreamFacts& facts) {
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  if (!gst_structure_get_int(s, "width", &facts.width) ||
      !gst_structure_get_int(s, "height", &facts.height) || facts.width <= 0 || facts.height <= 0)
    return false;
  if (!gst_structure_get_fraction(s, "framerate", &facts.fps_n, &facts.fps_d) || facts.fps_n <= 0 ||
      facts.fps_d <= 0) {
    facts.fps_n = 0;
    facts.fps_d = 1;
  }
  return true;
}

// Reads the stream headers ('avih', 'strh', 'strf', never the index) of the local file
// name. False, with the reason in why, when they do not give a Vozodiva stream.
bool facts_from_file(const std::string& name, StreamFacts& facts, std::string& why) {
  InputFile in;
  if (!in.open(name.c_str())) {
    why = name + " cannot be opened";
    return false;
  }
  AviInfo info;
  std::string error;
  if (!read_avi_headers(in.size(), in.reader(), info, error)) {
    why = name + " cannot be read as an AVI file: " + error;
    return false;
  }
  if (info.compression != kFourccVizu && info.compression != kVizuLower) {
    why = name + " holds no Vozodiva video stream";
    return false;
  }
  facts.width = info.width;
  facts.height = info.height;
  if (info.rate > 0 && info.scale > 0 && info.rate <= G_MAXINT && info.scale <= G_MAXINT) {
    facts.fps_n = static_cast<int>(info.rate);
    facts.fps_d = static_cast<int>(info.scale);
  }
  return true;
}

// Asks upstream where the stream comes from and reads that file's headers, once per file.
// False, with the reason in why, when there is no local file or it does not tell.
bool facts_from_source(GstVozodivaDec* self, StreamFacts& facts, std::string& why) {
  GstQuery* query = gst_query_new_uri();
  gchar* uri_text = nullptr;
  if (gst_pad_peer_query(GST_VIDEO_DECODER_SINK_PAD(self), query))
    gst_query_parse_uri(query, &uri_text);
  gst_query_unref(query);
  if (uri_text == nullptr) {
    why = "upstream does not say where the stream comes from";
    return false;
  }
  const std::string uri = uri_text;
  gchar* path = g_filename_from_uri(uri_text, nullptr, nullptr);  // null unless file://
  g_free(uri_text);
  if (path == nullptr) {
    why = "the stream comes from " + uri + ", which is not a local file";
    return false;
  }
  const std::string name = path;
  g_free(path);
  GstVozodivaDec::State& state = self->state;
  if (uri != state.source_uri) {
    state.source_uri.clear();
    state.source_facts = StreamFacts();
    if (!facts_from_file(name, state.source_facts, why)) return false;
    state.source_uri = uri;
  }
  facts = state.source_facts;
  return true;
}

// Decodes nothing: gives the frame back to the base class.
void release(GstVozodivaDec* self, GstVideoCodecFrame* frame) {
  gst_video_decoder_release_frame(GST_VIDEO_DECODER(self), frame);
}

// Waits for the oldest frame in the queue and pushes its picture, top row first at the
// output's stride; a damaged frame is dropped and reported.
GstFlowReturn finish_oldest(GstVozodivaDec* self) {
  GstVideoDecoder* dec = GST_VIDEO_DECODER(self);
  FrameQueue& queue = *self->state.queue;
  const uint8_t* picture = nullptr;
  GstVideoCodecFrame* frame = queue.take(&picture);
  if (picture == nullptr) {
    const GstClockTime pts = frame->pts;
    const guint32 number = frame->system_frame_number;
    const gsize bytes = gst_buffer_get_size(frame->input_buffer);
    gst_video_decoder_drop_frame(dec, frame);
    GstFlowReturn ret = GST_FLOW_OK;
    GST_VIDEO_DECODER_ERROR(
        self, 1, STREAM, DECODE,
        ("The Vozodiva frame at %" GST_TIME_FORMAT " is damaged.", GST_TIME_ARGS(pts)),
        ("frame %u of the stream, %" G_GSIZE_FORMAT " bytes, is not a Vozodiva frame of %d x %d",
         number, bytes, queue.width(), queue.height()),
        ret);
    // Within max-errors the base class only logs the error; the application still hears
    // of the lost frame.
    if (ret == GST_FLOW_OK)
      GST_ELEMENT_WARNING(self, STREAM, DECODE,
                          ("The Vozodiva frame at %" GST_TIME_FORMAT " is damaged; it was dropped.",
                           GST_TIME_ARGS(pts)),
                          ("frame %u of the stream, %" G_GSIZE_FORMAT " bytes", number, bytes));
    return ret;
  }

  GstFlowReturn ret = gst_video_decoder_allocate_output_frame(dec, frame);
  if (ret != GST_FLOW_OK) {
    release(self, frame);
    return ret;
  }
  GstVideoFrame video;
  if (!gst_video_frame_map(&video, &self->state.out_info, frame->output_buffer, GST_MAP_WRITE)) {
    release(self, frame);
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot write into the output buffer."), (nullptr));
    return GST_FLOW_ERROR;
  }
  auto* out = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&video, 0));
  const size_t stride = static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&video, 0));
  const size_t row = static_cast<size_t>(queue.width()) * 3;
  const size_t rows = static_cast<size_t>(queue.height());
  for (size_t y = 0; y < rows; ++y) {
    uint8_t* dst = out + y * stride;
    std::memcpy(dst, picture + (rows - 1 - y) * row, row);
    std::memset(dst + row, 0, stride - row);  // the row's filler, so every byte is defined
  }
  gst_video_frame_unmap(&video);
  return gst_video_decoder_finish_frame(dec, frame);
}

// Gives back every frame in the queue without decoding it (flush, stop).
void discard_all(GstVozodivaDec* self) {
  FrameQueue* queue = self->state.queue.get();
  const uint8_t* picture = nullptr;
  while (queue != nullptr && !queue->empty()) release(self, queue->take(&picture));
}

// Finishes every frame in the queue, in order (drain, end of stream, new caps). After a
// flow error the rest is given back undecoded.
GstFlowReturn finish_all(GstVozodivaDec* self) {
  FrameQueue* queue = self->state.queue.get();
  GstFlowReturn ret = GST_FLOW_OK;
  while (queue != nullptr && !queue->empty() && ret == GST_FLOW_OK) ret = finish_oldest(self);
  discard_all(self);
  return ret;
}

// A new queue for frames of width x height; an element error when they cannot be decoded.
bool build_queue(GstVozodivaDec* self, int width, int height) {
  GstVozodivaDec::State& state = self->state;
  state.queue = std::make_unique<FrameQueue>(width, height);
  if (state.queue->begin(state.threads, state.in_flight)) return true;
  state.queue.reset();
  GST_ELEMENT_ERROR(
      self, STREAM, DECODE, ("Vozodiva frames of %d x %d pixels cannot be decoded.", width, height),
      ("too large for the codec, or not enough memory for %d threads", state.threads));
  return false;
}

gboolean dec_start(GstVideoDecoder* dec) {
  GstVozodivaDec* self = GST_VOZODIVA_DEC(dec);
  GST_OBJECT_LOCK(self);
  const int max_threads = self->max_threads;
  const int in_flight = self->max_frames_in_flight;
  GST_OBJECT_UNLOCK(self);
  const int cores = std::clamp(static_cast<int>(g_get_num_processors()), 1, kMaxThreads);
  self->state.threads = max_threads > 0 ? max_threads : cores;
  self->state.in_flight = in_flight;
  GST_DEBUG_OBJECT(self, "decoding on up to %d threads, %d frames in flight", self->state.threads,
                   in_flight);
  return TRUE;
}

gboolean dec_stop(GstVideoDecoder* dec) {
  GstVozodivaDec* self = GST_VOZODIVA_DEC(dec);
  return guarded(self, FALSE, [self] {
    discard_all(self);
    self->state.queue.reset();
    self->state.source_uri.clear();
    return TRUE;
  });
}

// The frame size and rate: from the caps where upstream put them there, else from the
// headers of the file the stream comes from, else from the width and height properties.
// An element error when none tells.
bool stream_facts(GstVozodivaDec* self, GstCaps* caps, StreamFacts& facts) {
  if (facts_from_caps(caps, facts)) return true;
  std::string why;
  const bool from_source = facts_from_source(self, facts, why);
  GST_OBJECT_LOCK(self);
  const int width_property = self->width_property;
  const int height_property = self->height_property;
  GST_OBJECT_UNLOCK(self);
  if (from_source) {
    if (width_property > 0 && (width_property != facts.width || height_property != facts.height))
      GST_WARNING_OBJECT(
          self, "the source file says %d x %d; the width and height properties are not used",
          facts.width, facts.height);
  } else if (width_property > 0 && height_property > 0) {
    facts.width = width_property;
    facts.height = height_property;
  } else {
    GST_ELEMENT_ERROR(
        self, STREAM, FORMAT,
        ("The frame size of this Vozodiva stream is unknown: it does not come from a local "
         "AVI file whose headers give it. Set the width and height properties of vozodivadec."),
        ("%s", why.c_str()));
    return false;
  }
  if (facts.fps_n == 0) {
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    if (!gst_structure_get_fraction(s, "framerate", &facts.fps_n, &facts.fps_d) ||
        facts.fps_n <= 0 || facts.fps_d <= 0) {
      facts.fps_n = 0;
      facts.fps_d = 1;
    }
  }
  return true;
}

// The output caps, and the latency: a threaded queue holds frames back until it is full,
// so a frame comes out that many frame periods after it went in.
void set_output(GstVozodivaDec* self, GstVideoCodecState* state, const StreamFacts& facts) {
  GstVideoDecoder* dec = GST_VIDEO_DECODER(self);
  GstVideoCodecState* out = gst_video_decoder_set_output_state(dec, GST_VIDEO_FORMAT_BGR,
                                                               facts.width, facts.height, state);
  out->info.fps_n = facts.fps_n;
  out->info.fps_d = facts.fps_d;
  out->info.par_n = 1;
  out->info.par_d = 1;
  gst_video_colorimetry_from_string(&out->info.colorimetry, GST_VIDEO_COLORIMETRY_SRGB);
  self->state.out_info = out->info;
  gst_video_codec_state_unref(out);

  const int in_flight = self->state.queue->lag();
  GstClockTime latency = 0;
  if (facts.fps_n > 0)
    latency = gst_util_uint64_scale(static_cast<guint64>(in_flight),
                                    GST_SECOND * static_cast<guint64>(facts.fps_d),
                                    static_cast<guint64>(facts.fps_n));
  gst_video_decoder_set_latency(dec, latency, latency);
  GST_DEBUG_OBJECT(self, "%d x %d at %d/%d, %d frames in flight", facts.width, facts.height,
                   facts.fps_n, facts.fps_d, in_flight);
}

gboolean set_format(GstVozodivaDec* self, GstVideoCodecState* state) {
  if (finish_all(self) != GST_FLOW_OK)
    GST_DEBUG_OBJECT(self, "frames of the old caps were not all pushed");
  StreamFacts facts;
  if (!stream_facts(self, state->caps, facts)) return FALSE;
  FrameQueue* queue = self->state.queue.get();
  if ((queue == nullptr || queue->width() != facts.width || queue->height() != facts.height) &&
      !build_queue(self, facts.width, facts.height))
    return FALSE;
  set_output(self, state, facts);
  return TRUE;
}

gboolean dec_set_format(GstVideoDecoder* dec, GstVideoCodecState* state) {
  GstVozodivaDec* self = GST_VOZODIVA_DEC(dec);
  return guarded(self, FALSE, [self, state] { return set_format(self, state); });
}

GstFlowReturn handle_frame(GstVozodivaDec* self, GstVideoCodecFrame* frame) {
  FrameQueue* queue = self->state.queue.get();
  if (queue == nullptr) {
    release(self, frame);
    return GST_FLOW_NOT_NEGOTIATED;
  }
  if (queue->full()) {
    const GstFlowReturn ret = finish_oldest(self);
    if (ret != GST_FLOW_OK) {
      release(self, frame);
      return ret;
    }
  }
  queue->submit(frame);
  // Without workers the frame was decoded right away.
  return queue->threaded() ? GST_FLOW_OK : finish_oldest(self);
}

GstFlowReturn dec_handle_frame(GstVideoDecoder* dec, GstVideoCodecFrame* frame) {
  GstVozodivaDec* self = GST_VOZODIVA_DEC(dec);
  return guarded(self, GST_FLOW_ERROR, [self, frame] { return handle_frame(self, frame); });
}

gboolean dec_flush(GstVideoDecoder* dec) {
  GstVozodivaDec* self = GST_VOZODIVA_DEC(dec);
  return guarded(self, FALSE, [self] {
    discard_all(self);
    return TRUE;
  });
}

GstFlowReturn dec_finish(GstVideoDecoder* dec) {
  GstVozodivaDec* self = GST_VOZODIVA_DEC(dec);
  return guarded(self, GST_FLOW_ERROR, [self] { return finish_all(self); });
}

gint* int_property(GstVozodivaDec* self, guint id) {
  switch (id) {
    case PROP_WIDTH:
      return &self->width_property;
    case PROP_HEIGHT:
      return &self->height_property;
    case PROP_MAX_THREADS:
      return &self->max_threads;
    case PROP_MAX_FRAMES_IN_FLIGHT:
      return &self->max_frames_in_flight;
    default:
      return nullptr;
  }
}

void dec_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  GstVozodivaDec* self = GST_VOZODIVA_DEC(object);
  gint* field = int_property(self, id);
  if (field == nullptr) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  GST_OBJECT_LOCK(self);
  *field = g_value_get_int(value);
  GST_OBJECT_UNLOCK(self);
}

void dec_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  GstVozodivaDec* self = GST_VOZODIVA_DEC(object);
  gint* field = int_property(self, id);
  if (field == nullptr) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  GST_OBJECT_LOCK(self);
  g_value_set_int(value, *field);
  GST_OBJECT_UNLOCK(self);
}

void dec_finalize(GObject* object) {
  GST_VOZODIVA_DEC(object)->state.~State();
  G_OBJECT_CLASS(gst_vozodiva_dec_parent_class)->finalize(object);
}

void install_properties(GObjectClass* object_class) {
  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                              GST_PARAM_MUTABLE_READY);
  g_object_class_install_property(
      object_class, PROP_WIDTH,
      g_param_spec_int("width", "Width",
                       "Frame width in pixels, for streams whose caps and source file do not "
                       "give it (those take precedence); 0: not set",
                       0, G_MAXINT, 0, flags));
  g_object_class_install_property(
      object_class, PROP_HEIGHT,
      g_param_spec_int("height", "Height",
                       "Frame height in pixels, for streams whose caps and source file do not "
                       "give it (those take precedence); 0: not set",
                       0, G_MAXINT, 0, flags));
  g_object_class_install_property(
      object_class, PROP_MAX_THREADS,
      g_param_spec_int("max-threads", "Maximum threads",
                       "Threads that decode frames side by side; 0: one per core. The pictures "
                       "are the same for every number",
                       0, kMaxThreads, 0, flags));
  g_object_class_install_property(
      object_class, PROP_MAX_FRAMES_IN_FLIGHT,
      g_param_spec_int("max-frames-in-flight", "Maximum frames in flight",
                       "Frames decoded ahead of the one pushed, on all threads together; each "
                       "adds a frame period of latency. Fewer than max-threads leaves threads "
                       "unused; 1 decodes on the streaming thread",
                       1, 2 * kMaxThreads, kDefaultFramesInFlight, flags));
}

}  // namespace

static void gst_vozodiva_dec_class_init(GstVozodivaDecClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  object_class->set_property = dec_set_property;
  object_class->get_property = dec_get_property;
  object_class->finalize = dec_finalize;
  install_properties(object_class);

  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "Vozodiva video decoder", "Codec/Decoder/Video",
      "Decodes Vozodiva lossless video (FourCC VIZU) to BGR pictures", "zoduviv developers");

  GstVideoDecoderClass* decoder_class = GST_VIDEO_DECODER_CLASS(klass);
  decoder_class->start = GST_DEBUG_FUNCPTR(dec_start);
  decoder_class->stop = GST_DEBUG_FUNCPTR(dec_stop);
  decoder_class->set_format = GST_DEBUG_FUNCPTR(dec_set_format);
  decoder_class->handle_frame = GST_DEBUG_FUNCPTR(dec_handle_frame);
  decoder_class->flush = GST_DEBUG_FUNCPTR(dec_flush);
  decoder_class->drain = GST_DEBUG_FUNCPTR(dec_finish);
  decoder_class->finish = GST_DEBUG_FUNCPTR(dec_finish);
}

static void gst_vozodiva_dec_init(GstVozodivaDec* self) {
  new (&self->state) GstVozodivaDec::State();
  self->max_frames_in_flight = kDefaultFramesInFlight;
  GstVideoDecoder* dec = GST_VIDEO_DECODER(self);
  // avidemux hands on one whole frame per buffer.
  gst_video_decoder_set_packetized(dec, TRUE);
  gst_video_decoder_set_needs_format(dec, TRUE);
  gst_video_decoder_set_use_default_pad_acceptcaps(dec, TRUE);
  GST_PAD_SET_ACCEPT_TEMPLATE(GST_VIDEO_DECODER_SINK_PAD(dec));
}

static gboolean plugin_init(GstPlugin* plugin) {
  GST_DEBUG_CATEGORY_INIT(vozodivadec_debug, "vozodivadec", 0, "Vozodiva video decoder");
  return gst_element_register(plugin, "vozodivadec", GST_RANK_PRIMARY, GST_TYPE_VOZODIVA_DEC);
}

// GST_PLUGIN_DEFINE names the package that built the plugin after PACKAGE.
#define PACKAGE "zoduviv"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vozodiva,
                  "Vozodiva lossless video (FourCC VIZU), from zoduviv", plugin_init,
                  ZODUVIV_VERSION, "MIT/X11", "zoduviv", "Unknown package origin")
