// gst/vozodivadec.h: vozodivadec, the GStreamer video decoder of Vozodiva frames
// (FourCC "VIZU"), in the plugin libgstvozodiva.so.
//
// Read me first. avidemux hands a Vozodiva stream on as
// `video/x-avi-unknown, fourcc=(int)1431980374`, without the frame size its stream
// headers give, and a Vozodiva frame does not carry its size either. The element takes
// the size and rate from the caps where upstream puts them there (`width`, `height`,
// `framerate`); otherwise it asks upstream for the stream's URI and, for a file:// URI,
// reads that file's stream headers ('avih', 'strh', 'strf'; never its index) with the
// project's checked reader, once per file. Where neither tells (a pipe, a network source),
// the `width` and `height` properties give the size; without them the stream stops with an
// element error that says so, and no picture is ever made up.
//
// A frame decodes to bottom-up BGR rows; the element writes them top row first at the
// output's row stride (`video/x-raw, format=BGR`, pixel aspect ratio 1/1), so every width
// shows correctly. Frames decode on `max-threads` worker threads (0, the default: one per
// core), each with its own FrameDecoder, with at most `max-frames-in-flight` frames (8 by
// default) between the one coming in and the one going out; the latency query reports
// that many frame periods. Frames are finished in their order, so the output is the same
// for every number of threads. A damaged frame is dropped and reported with
// GST_VIDEO_DECODER_ERROR, so the base class's `max-errors` decides whether it stops the
// stream (default: a warning, and the stream goes on). No C++ exception leaves a
// GStreamer callback: running out of memory is an element error.
//
// GStreamer types stay in this folder; the codec is used only through codec/codec.h and
// avi/avi.h.
#ifndef GST_VOZODIVADEC_H_
#define GST_VOZODIVADEC_H_

#include <gst/video/gstvideodecoder.h>

G_BEGIN_DECLS

#define GST_TYPE_VOZODIVA_DEC (gst_vozodiva_dec_get_type())
G_DECLARE_FINAL_TYPE(GstVozodivaDec, gst_vozodiva_dec, GST, VOZODIVA_DEC, GstVideoDecoder)

G_END_DECLS

#endif  // GST_VOZODIVADEC_H_
