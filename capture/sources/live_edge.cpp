// A live playlist (HLS or DASH with no end yet) shown near its live edge, at its own pace.
//
// hlsdemux starts a live playlist three fragments back, and a sink on the clock then keeps every
// picture that far behind. Shown as they come instead, pictures come a fragment at a time, in
// bursts. So the sink stays on the clock, and its offset follows the fragments: each compressed
// picture's lateness as it leaves the demuxer (its place on the clock against the moment it came)
// says how early the network brings it, and the offset is the latest lateness of the last few
// fragments, with a margin for decoding. Pictures are then shown at the stream's pace, each as
// soon after its fragment's arrival as the latest of them needs; a slow network raises the
// offset, and once it is fast again the offset comes back down to the live edge, a little at a
// time, the pictures going by a third faster.
//
// The fragments listed when the viewer joins come at once, and the next one a fragment's time
// later, or more. Shown as they came, their last picture was held for most of that wait (0.96 s
// at 1 s fragments); shown at their pace, they ran out before it ended (0.55 s). So nothing is
// shown until the first wait is over: the pictures before it are decoded and let go while the
// test card stays up, and the first picture shown is the live edge's, with the next fragment's
// wait already behind. From then on no picture is held longer than the network holds it.
#include <gst/gst.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "capture/sources/gst_shared.h"
#include "capture/sources/internal.h"

namespace {

constexpr const char* kEdgeKey = "lumivane-live-edge";
// Decoding and handing on a picture after it leaves the demuxer, with room for jitter.
constexpr GstClockTimeDiff kMarginNs = 150 * GST_MSECOND;
// A pause this long between pictures leaving the demuxer is the wait for the next fragment.
constexpr gint64 kGapUs = 300 * 1000;
// The offset is the latest lateness of this long, or of two and a half of the longest waits
// between fragments, whichever is longer: several fragments either way.
constexpr gint64 kLeastWindowUs = 3 * 1000 * 1000;
constexpr gint64 kMostWindowUs = 60 * 1000 * 1000;
// Offsets closer than this are the same; the sink is not told of every picture.
constexpr GstClockTimeDiff kStepNs = 20 * GST_MSECOND;
// A stream whose pictures come without a wait for this long shows them all the same.
constexpr gint64 kLongestFirstBurstUs = 5 * 1000 * 1000;
// The offset comes down by at most a third of the time that passes: pictures a third faster.
constexpr gint64 kCatchUpShare = 3;
// Lowered by less than this, the sink is not told yet.
constexpr GstClockTimeDiff kLeastLowerNs = 2 * GST_MSECOND;

enum class Kind { unknown, live, recording };

// One pipeline's, owned by it; made on the viewer's thread before it starts, then used by the
// demuxers' streaming threads under its lock.
struct LiveEdge {
  std::mutex lock;
  GstElement* sink = nullptr;  // held by the pipeline, which outlives this
  Kind kind = Kind::unknown;
  bool caughtUp = false;  // the pictures queued on the server's playlist have all come
  gint64 lastArrival = 0, longestGap = 0;
  std::deque<std::pair<gint64, GstClockTimeDiff>> recent;  // lateness, newest last, falling
  gint64 firstArrival = 0;                                 // microseconds, GLib's monotonic clock
  GstClockTimeDiff offset = 0;                             // the sink's
  GstClockTimeDiff target = 0;  // what the offset would be at once, were it not lowered slowly
  gint64 settledAt = 0;         // microseconds, GLib's monotonic clock, when the offset moved
};

struct PadWatch {
  LiveEdge* edge;
  GstSegment segment;
  bool haveSegment = false;
  bool video = false;  // its first buffer was found to be video (audio is not followed)
};

// A live playlist has no duration; a recorded one has, and so has a file on a web server,
// whose demuxer knows it (the server knows only bytes).
Kind kindOf(GstPad* pad) {
  gint64 duration = -1;
  return gst_pad_query_duration(pad, GST_FORMAT_TIME, &duration) && duration > 0 ? Kind::recording
                                                                                 : Kind::live;
}

void follow(LiveEdge& edge, GstClockTimeDiff lateness) {
  const gint64 now = g_get_monotonic_time();
  if (edge.firstArrival == 0) edge.firstArrival = now;
  const bool waited = edge.lastArrival != 0 && now - edge.lastArrival >= kGapUs;
  if (waited) edge.longestGap = std::max(edge.longestGap, now - edge.lastArrival);
  edge.lastArrival = now;
  // Until the first wait, pictures came as fast as the network brought the fragments already
  // listed: how late they were says nothing of the live edge, and none of them is shown.
  if (!edge.caughtUp && !waited && now - edge.firstArrival < kLongestFirstBurstUs) return;
  const bool first = !edge.caughtUp;
  edge.caughtUp = true;
  const gint64 window = std::min(kMostWindowUs, std::max(kLeastWindowUs, edge.longestGap * 5 / 2));
  // Only pictures later than every newer one can be the latest of a window.
  while (!edge.recent.empty() && edge.recent.back().second <= lateness) edge.recent.pop_back();
  edge.recent.emplace_back(now, lateness);
  while (edge.recent.front().first < now - window) edge.recent.pop_front();
  // A later picture raises the offset at once, as a slow network does, so that what came is
  // never held back by more than the wait for it; lowering it is left to settleLiveEdge.
  edge.target = edge.recent.front().second + kMarginNs;
  if (!first && edge.target - edge.offset < kStepNs) return;
  edge.offset = edge.target;
  edge.settledAt = now;
  g_object_set(edge.sink, "ts-offset", static_cast<gint64>(edge.offset), nullptr);
}

GstPadProbeReturn watchPictures(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  PadWatch& watch = *static_cast<PadWatch*>(data);
  if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) == 0) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
      const GstSegment* segment = nullptr;
      gst_event_parse_segment(event, &segment);
      gst_segment_copy_into(segment, &watch.segment);
      watch.haveSegment = watch.segment.format == GST_FORMAT_TIME;
    }
    return GST_PAD_PROBE_OK;
  }
  if (!watch.video) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    watch.video =
        caps != nullptr &&
        std::strncmp(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/", 6) == 0;
    if (caps != nullptr) gst_caps_unref(caps);
    if (!watch.video) return GST_PAD_PROBE_REMOVE;
  }
  LiveEdge& edge = *watch.edge;
  const std::lock_guard<std::mutex> hold(edge.lock);
  if (edge.kind == Kind::unknown) edge.kind = kindOf(pad);
  if (edge.kind != Kind::live) return GST_PAD_PROBE_REMOVE;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  const GstClockTime time = GST_BUFFER_DTS_OR_PTS(buffer);
  if (!watch.haveSegment || !GST_CLOCK_TIME_IS_VALID(time)) return GST_PAD_PROBE_OK;
  const ElementPtr demuxer(gst_pad_get_parent_element(pad));
  const GstClockTime due = gst_segment_to_running_time(&watch.segment, GST_FORMAT_TIME, time);
  const GstClockTime now = demuxer != nullptr ? gst_element_get_current_running_time(demuxer.get())
                                              : GST_CLOCK_TIME_NONE;
  if (GST_CLOCK_TIME_IS_VALID(due) && GST_CLOCK_TIME_IS_VALID(now)) {
    follow(edge, GST_CLOCK_DIFF(due, now));
  }
  return GST_PAD_PROBE_OK;
}

void watchDemuxerPad(GstElement*, GstPad* pad, gpointer data) {
  if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
  auto* watch = new PadWatch{static_cast<LiveEdge*>(data), {}, false, false};
  gst_segment_init(&watch->segment, GST_FORMAT_UNDEFINED);
  gst_pad_add_probe(
      pad,
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
      watchPictures, watch, [](gpointer one) { delete static_cast<PadWatch*>(one); });
}

}  // namespace

void prepareLiveEdge(GstElement* pipeline, GstElement* sink) {
  auto* edge = new LiveEdge();
  edge->sink = sink;
  g_object_set_data_full(G_OBJECT(pipeline), kEdgeKey, edge,
                         [](gpointer data) { delete static_cast<LiveEdge*>(data); });
}

void followLiveEdge(GstBin* pipeline, GstElement* element) {
  auto* edge = static_cast<LiveEdge*>(g_object_get_data(G_OBJECT(pipeline), kEdgeKey));
  if (edge == nullptr) return;
  const char* klass =
      gst_element_class_get_metadata(GST_ELEMENT_GET_CLASS(element), GST_ELEMENT_METADATA_KLASS);
  if (std::strcmp(factoryName(element), "decodebin") == 0) {
    // Room between the demuxer and the decoder for a fragment or two whatever the bitrate, so
    // that the demuxer is not held back while the sink waits, and its pictures' lateness is the
    // network's.
    g_object_set(element, "max-size-time", guint64{4} * GST_SECOND, "max-size-bytes",
                 guint{64} << 20, "max-size-buffers", 1000u, nullptr);
    return;
  }
  if (klass == nullptr || std::strstr(klass, "Demuxer") == nullptr ||
      std::strstr(klass, "Adaptive") != nullptr) {
    return;
  }
  g_signal_connect(element, "pad-added", G_CALLBACK(watchDemuxerPad), edge);
}

void settleLiveEdge(GstElement* pipeline) {
  auto* edge = static_cast<LiveEdge*>(g_object_get_data(G_OBJECT(pipeline), kEdgeKey));
  if (edge == nullptr) return;
  const std::lock_guard<std::mutex> hold(edge->lock);
  if (!edge->caughtUp) return;
  const gint64 now = g_get_monotonic_time();
  // Time spent where it should be earns no lowering later.
  if (edge->target >= edge->offset) {
    edge->settledAt = now;
    return;
  }
  const GstClockTimeDiff lowered =
      std::max(edge->target, edge->offset - (now - edge->settledAt) * GST_USECOND / kCatchUpShare);
  if (edge->offset - lowered < kLeastLowerNs) return;
  edge->offset = lowered;
  edge->settledAt = now;
  g_object_set(edge->sink, "ts-offset", static_cast<gint64>(lowered), nullptr);
}

bool liveEdgeAhead(GstElement* pipeline) {
  auto* edge = static_cast<LiveEdge*>(g_object_get_data(G_OBJECT(pipeline), kEdgeKey));
  if (edge == nullptr) return false;
  const std::lock_guard<std::mutex> hold(edge->lock);
  return edge->kind != Kind::recording && !edge->caughtUp;
}
