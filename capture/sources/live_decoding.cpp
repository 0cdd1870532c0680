// Decoding of live H.264 and H.265 streams that keeps up with them: the decoder's threads suit
// the stream, and when decoding still falls behind, the pictures up to the next key frame are
// dropped before the decoder, so that what is shown is the present.
//
// Threads: slice threads add no delay, and a stream of several slices a picture keeps them. A
// picture of one slice (x264's default, most cameras) then decodes on one thread, which a heavy
// stream's 33 ms a picture can exceed. Frame threads decode several pictures at once, but each
// extra thread holds one more picture back (33 ms at 30 fps, measured), so such a stream gets
// them only once decoding falls behind, at a key frame. The parser sees the stream's first
// pictures before the decoder is made, so their slices are counted there.
//
// Falling behind: each compressed picture reaching the decoder is compared with the pipeline's
// clock. How late it is, against the least late so far, is how far decoding (or anything before
// it) has fallen behind; the offset between the stream's clock and ours drops out.
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "capture/sources/gst_shared.h"
#include "capture/sources/internal.h"

namespace {

constexpr const char* kLiveKey = "lumivane-live-decoding";
// Further behind than this, the pictures up to the next key frame are dropped: well above a
// network's usual jitter, well below what a viewer notices as lag.
constexpr GstClockTimeDiff kBehindNs = 300 * GST_MSECOND;
// The stream's clock may run slower than ours; the least lateness is let rise this much a
// second of stream (0.1%, ten times a cheap crystal's error), so that such a drift never adds
// up to dropping.
constexpr double kDriftAllowance = 0.001;
// Further behind than this at a key frame, a stream of one slice a picture gets frame threads.
constexpr GstClockTimeDiff kFrameThreadsNs = 150 * GST_MSECOND;
// The stream's first seconds, while its start is caught up with.
constexpr GstClockTime kSettlingNs = 3 * GST_SECOND;
// Dropping that begins again within this much of the stream is decoding that cannot keep up.
constexpr GstClockTime kRepeatNs = 30 * GST_SECOND;
// A decoder busy this share of the time, over the last this long, is one that pictures queue
// before; one that keeps up waits for its pictures between them.
constexpr double kBusyShare = 0.8;
constexpr gint64 kBusyWindowNs = 300 * GST_MSECOND;
// Frame threads beyond this hold more pictures back than they win on a machine of many cores.
constexpr unsigned kMaxFrameThreads = 4;
// A drop that has lasted this long ends at the next key frame, however late.
constexpr gint64 kLongestDropNs = 2 * GST_SECOND;
// After a drop ends, this long before a stall of the stream is a stall.
constexpr gint64 kLiveStallUs = 5 * 1000 * 1000;

enum class Slices : int { unknown, one, several };

// What one pipeline's parsers and decoders share, owned by the pipeline; made before it starts,
// on the viewer's thread, and only read and written through atomics after.
struct LiveDecoding {
  std::atomic<int> slices{static_cast<int>(Slices::unknown)};
  std::atomic<bool> fellBehind{false};
  std::atomic<bool> dropping{false};
  std::atomic<gint64> droppingEndedUs{0};  // wall time, 0 before any drop ended
};

LiveDecoding* liveDecodingOf(GstElement* pipeline) {
  return static_cast<LiveDecoding*>(g_object_get_data(G_OBJECT(pipeline), kLiveKey));
}

// Wall time in nanoseconds, to tell a decoder that waits for pictures from one that never does.
gint64 wallNs() { return g_get_monotonic_time() * 1000; }

// --- Counting slices ---------------------------------------------------------------------

struct SliceCount {
  int pictures = 0;  // slices that begin a picture
  int others = 0;    // slices that continue one
};

void countSlice(bool h265, const unsigned char* nal, std::size_t size, SliceCount& count) {
  if (h265) {
    if (size < 3) return;
    const int type = (nal[0] >> 1) & 0x3f;
    if (!((type >= 0 && type <= 9) || (type >= 16 && type <= 21))) return;
    ((nal[2] & 0x80) != 0 ? count.pictures : count.others)++;  // first_slice_segment_in_pic
    return;
  }
  if (size < 2) return;
  const int type = nal[0] & 0x1f;
  if (type != 1 && type != 5) return;
  ((nal[1] & 0x80) != 0 ? count.pictures : count.others)++;  // first_mb_in_slice is 0
}

// The slices of one buffer, in start-code form or with each NAL unit's length before it.
SliceCount countSlices(bool h265, int lengthSize, const unsigned char* data, std::size_t size) {
  SliceCount count;
  if (lengthSize > 0) {
    std::size_t at = 0;
    while (at + static_cast<std::size_t>(lengthSize) <= size) {
      std::size_t length = 0;
      for (int i = 0; i < lengthSize; ++i) length = length << 8 | data[at + i];
      at += static_cast<std::size_t>(lengthSize);
      if (length > size - at) break;
      countSlice(h265, data + at, length, count);
      at += length;
    }
    return count;
  }
  for (std::size_t at = 2; at < size;) {
    const auto* one = static_cast<const unsigned char*>(std::memchr(data + at, 1, size - at));
    if (one == nullptr) break;
    const std::size_t found = static_cast<std::size_t>(one - data);
    if (data[found - 1] == 0 && data[found - 2] == 0) {
      countSlice(h265, one + 1, size - found - 1, count);
    }
    at = found + 1;
  }
  return count;
}

// The NAL length size of length-prefixed streams (avc, hvc1), 0 for start codes.
int nalLengthSize(GstPad* pad, bool h265) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (caps == nullptr) return 0;
  const GstStructure* structure = gst_caps_get_structure(caps, 0);
  const char* format = gst_structure_get_string(structure, "stream-format");
  int lengthSize = 0;
  if (format != nullptr && std::strcmp(format, "byte-stream") != 0) {
    lengthSize = 4;
    const GValue* value = gst_structure_get_value(structure, "codec_data");
    GstBuffer* config = value != nullptr && G_VALUE_HOLDS(value, GST_TYPE_BUFFER)
                            ? gst_value_get_buffer(value)
                            : nullptr;
    GstMapInfo map;
    if (config != nullptr && gst_buffer_map(config, &map, GST_MAP_READ)) {
      const std::size_t at = h265 ? 21 : 4;
      if (map.size > at) lengthSize = (map.data[at] & 3) + 1;
      gst_buffer_unmap(config, &map);
    }
  }
  gst_caps_unref(caps);
  return lengthSize;
}

struct SliceWatch {
  LiveDecoding* live;
  bool h265;
};

// On the parser's input, until its first picture: one slice or several.
GstPadProbeReturn watchSlices(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  const SliceWatch& watch = *static_cast<SliceWatch*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
  const SliceCount count =
      countSlices(watch.h265, nalLengthSize(pad, watch.h265), map.data, map.size);
  gst_buffer_unmap(buffer, &map);
  if (count.pictures == 0 && count.others == 0) return GST_PAD_PROBE_OK;
  const Slices slices = count.others > 0 ? Slices::several : Slices::one;
  watch.live->slices.store(static_cast<int>(slices));
  return GST_PAD_PROBE_REMOVE;
}

// --- Keeping up ----------------------------------------------------------------------------

struct KeepUp {
  LiveDecoding* live;
  GstSegment segment;
  bool haveSegment = false;
  bool haveLeast = false;
  GstClockTimeDiff least = 0;  // the least lateness so far, allowing for drift
  GstClockTime lastTime = GST_CLOCK_TIME_NONE;
  GstClockTime firstTime = GST_CLOCK_TIME_NONE;
  GstClockTime lastDropped = GST_CLOCK_TIME_NONE;  // where dropping last began
  // The key frame that ended a drop; read by the decoder's output too, on the same thread or
  // (frame threads) on one of the decoder's.
  std::atomic<GstClockTime> resumedAt{GST_CLOCK_TIME_NONE};
  bool mayDrop = false;  // a live stream's, not one played on the clock
  bool dropping = false;
  gint64 droppingSince = 0;          // wall nanoseconds
  bool droppedSettled = false;       // the drop began after the stream's start
  bool mayTakeFrameThreads = false;  // one slice a picture, on slice threads so far
  // The decoder's own time, wall nanoseconds: when it last gave its call back, and how much of
  // the time since the window began it spent decoding.
  bool decoding = false;
  bool busy = false;  // as the last whole window found it
  gint64 returned = 0, windowStart = 0, windowBusy = 0;
};

// The decoder takes its threads as it opens; new caps make it open again, after it has handed
// on what it holds. A key frame follows, so nothing is lost.
void takeFrameThreads(GstPad* pad, GstElement* decoder) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  gst_util_set_object_arg(G_OBJECT(decoder), "thread-type", "frame");
  g_object_set(decoder, "max-threads", static_cast<int>(std::min(cores, kMaxFrameThreads)),
               nullptr);
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (caps == nullptr) return;
  caps = gst_caps_make_writable(caps);
  gst_caps_set_simple(caps, "lumivane-frame-threads", G_TYPE_BOOLEAN, TRUE, nullptr);
  gst_pad_send_event(pad, gst_event_new_caps(caps));
  gst_caps_unref(caps);
}

enum class ReadyDecision { decode, drop };

// Whether `buffer` goes to the decoder or is dropped, and whether the decoder takes frame
// threads first.
ReadyDecision decide(KeepUp& state, GstPad* pad, GstBuffer* buffer, bool busy) {
  const GstClockTime time = GST_BUFFER_DTS_OR_PTS(buffer);
  if (!state.haveSegment || !GST_CLOCK_TIME_IS_VALID(time)) return ReadyDecision::decode;
  const GstClockTime due = gst_segment_to_running_time(&state.segment, GST_FORMAT_TIME, time);
  const ElementPtr decoder(gst_pad_get_parent_element(pad));
  const GstClockTime now =
      decoder != nullptr ? gst_element_get_current_running_time(decoder.get()) : 0;
  if (!GST_CLOCK_TIME_IS_VALID(due) || !GST_CLOCK_TIME_IS_VALID(now)) {
    return ReadyDecision::decode;
  }
  const GstClockTimeDiff lateness = GST_CLOCK_DIFF(due, now);
  if (state.haveLeast && GST_CLOCK_TIME_IS_VALID(state.lastTime) && time > state.lastTime) {
    state.least += static_cast<GstClockTimeDiff>(kDriftAllowance * (time - state.lastTime));
  }
  if (!state.haveLeast || lateness < state.least) state.least = lateness;
  state.haveLeast = true;
  state.lastTime = time;
  if (!GST_CLOCK_TIME_IS_VALID(state.firstTime) || time < state.firstTime) state.firstTime = time;
  const bool settled = time - state.firstTime > kSettlingNs;

  // Pictures are dropped from one that is too far behind up to a key frame near the present
  // again, so that whole groups go. Where pictures come in bursts (a fragmented MP4's
  // fragments), a key frame is late by a fragment however well decoding keeps up, and a lasting
  // rise of the network's delay looks the same: a drop that has lasted a while ends at the next
  // key frame, so that at least one group in a few is shown. How late pictures are is still
  // measured against the least lateness: a decoder that cannot keep up must not learn its own
  // lateness as the present.
  const GstClockTimeDiff behind = lateness - state.least;
  const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  bool resumed = false;
  if (state.dropping) {
    const bool givenUp = wallNs() - state.droppingSince >= kLongestDropNs;
    if (key && (behind <= kBehindNs / 2 || givenUp)) {
      state.dropping = false;
      state.live->dropping.store(false);
      state.live->droppingEndedUs.store(g_get_monotonic_time());
      state.resumedAt.store(GST_BUFFER_PTS(buffer));
      resumed = true;
      // The decoder idled while pictures were dropped; how busy it is is measured afresh, and
      // until a whole window says so it is not taken as busy, so that a lasting rise of the
      // network's delay, past the drop's end, is played with and not dropped again and again.
      state.windowStart = 0;
      state.windowBusy = 0;
      state.busy = false;
    }
  } else if (state.mayDrop && busy && behind > kBehindNs) {
    state.dropping = true;
    state.droppingSince = wallNs();
    state.droppedSettled = settled;
    state.live->dropping.store(true);
    // Catching up with what queued while the stream started is no news, nor is one burst after
    // a pause of the network; decoding that falls behind again and again is.
    if (settled && GST_CLOCK_TIME_IS_VALID(state.lastDropped) &&
        time - state.lastDropped < kRepeatNs) {
      state.live->fellBehind.store(true);
    }
    if (settled) state.lastDropped = time;
    // Pictures the decoder conceals (those that lost a reference) are not shown from now on.
    if (decoder != nullptr &&
        g_object_class_find_property(G_OBJECT_GET_CLASS(decoder.get()), "output-corrupt")) {
      g_object_set(decoder.get(), "output-corrupt", FALSE, nullptr);
    }
  }
  if (state.dropping) return ReadyDecision::drop;
  // Pictures shown before the key frame that ended a drop (H.265's leading pictures of an open
  // group) refer to what was dropped.
  const GstClockTime shown = GST_BUFFER_PTS(buffer);
  const GstClockTime resumedAt = state.resumedAt.load();
  if (GST_CLOCK_TIME_IS_VALID(resumedAt) && GST_CLOCK_TIME_IS_VALID(shown) && !key &&
      shown < resumedAt) {
    return ReadyDecision::drop;
  }
  // A drop after the start shows that one thread cannot keep up: the key frame that ends it is
  // where frame threads begin.
  const bool slow = behind > kFrameThreadsNs || (resumed && state.droppedSettled);
  if (key && settled && busy && state.mayTakeFrameThreads && slow) {
    state.mayTakeFrameThreads = false;
    takeFrameThreads(pad, decoder.get());
  }
  return ReadyDecision::decode;
}

using SharedKeepUp = std::shared_ptr<KeepUp>;

GstPadProbeReturn keepUp(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  KeepUp& state = **static_cast<SharedKeepUp*>(data);
  if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) == 0) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
      const GstSegment* segment = nullptr;
      gst_event_parse_segment(event, &segment);
      gst_segment_copy_into(segment, &state.segment);
      state.haveSegment = state.segment.format == GST_FORMAT_TIME;
      state.haveLeast = false;
      state.resumedAt.store(GST_CLOCK_TIME_NONE);
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
      state.haveLeast = false;
      state.firstTime = GST_CLOCK_TIME_NONE;
      state.lastDropped = GST_CLOCK_TIME_NONE;
      state.resumedAt.store(GST_CLOCK_TIME_NONE);
      state.dropping = false;
      state.live->dropping.store(false);
    }
    return GST_PAD_PROBE_OK;
  }
  // The decoder's call, made from here below, comes through this probe again.
  if (state.decoding) return GST_PAD_PROBE_OK;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  // Timestamps alone can mislead (a 1 fps stream's advance by half its pictures' spacing), so
  // a decoder is behind only if it is also busy nearly all the time: pictures queue before it.
  const ReadyDecision decision = decide(state, pad, buffer, state.busy);
  if (decision == ReadyDecision::drop) return GST_PAD_PROBE_DROP;
  const gint64 arrived = wallNs();
  if (state.windowStart == 0 || state.returned == 0) state.windowStart = arrived;
  state.decoding = true;
  const GstFlowReturn flow = gst_pad_chain(pad, buffer);
  state.decoding = false;
  state.returned = wallNs();
  state.windowBusy += state.returned - arrived;
  if (state.returned - state.windowStart >= kBusyWindowNs) {
    state.busy = state.windowBusy >= kBusyShare * (state.returned - state.windowStart);
    state.windowStart = state.returned;
    state.windowBusy = 0;
  }
  GST_PAD_PROBE_INFO_FLOW_RETURN(info) = flow;
  return GST_PAD_PROBE_HANDLED;
}

// On the decoder's output: the pictures it held back to reorder when a drop began come out
// after the drop, older than the key frame that ended it; they are not shown.
GstPadProbeReturn dropStale(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const KeepUp& state = **static_cast<SharedKeepUp*>(data);
  const GstClockTime resumedAt = state.resumedAt.load();
  const GstClockTime shown = GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info));
  return GST_CLOCK_TIME_IS_VALID(resumedAt) && GST_CLOCK_TIME_IS_VALID(shown) && shown < resumedAt
             ? GST_PAD_PROBE_DROP
             : GST_PAD_PROBE_OK;
}

bool isVideoParser(const char* name, bool* h265) {
  *h265 = std::strcmp(name, "h265parse") == 0;
  return *h265 || std::strcmp(name, "h264parse") == 0;
}

}  // namespace

void prepareDecodingUp(GstElement* pipeline) {
  g_object_set_data_full(G_OBJECT(pipeline), kLiveKey, new LiveDecoding(),
                         [](gpointer data) { delete static_cast<LiveDecoding*>(data); });
}

void keepDecodingUp(GstBin* pipeline, GstElement* element, bool live) {
  LiveDecoding* shared = liveDecodingOf(GST_ELEMENT(pipeline));
  if (shared == nullptr) return;
  const char* name = factoryName(element);
  bool h265 = false;
  if (isVideoParser(name, &h265)) {
    const PadPtr input(gst_element_get_static_pad(element, "sink"));
    if (input != nullptr) {
      gst_pad_add_probe(input.get(), GST_PAD_PROBE_TYPE_BUFFER, watchSlices,
                        new SliceWatch{shared, h265},
                        [](gpointer data) { delete static_cast<SliceWatch*>(data); });
    }
    return;
  }
  GObjectClass* type = G_OBJECT_GET_CLASS(element);
  const bool threads = g_object_class_find_property(type, "thread-type") != nullptr &&
                       g_object_class_find_property(type, "max-threads") != nullptr;
  if (std::strcmp(name, "avdec_h264") != 0 && std::strcmp(name, "avdec_h265") != 0) {
    // Other live video decoders keep to slice threads, which hold no picture back; the
    // decoder takes frame threads too by itself unless its source says it is live, which
    // tcpclientsrc and souphttpsrc do not.
    const char* klass =
        gst_element_class_get_metadata(GST_ELEMENT_GET_CLASS(element), GST_ELEMENT_METADATA_KLASS);
    if (live && threads && klass != nullptr && std::strstr(klass, "Video") != nullptr) {
      gst_util_set_object_arg(G_OBJECT(element), "thread-type", "slice");
    }
    return;
  }
  if (threads) gst_util_set_object_arg(G_OBJECT(element), "thread-type", "slice");
  const PadPtr input(gst_element_get_static_pad(element, "sink"));
  if (input == nullptr) return;
  const auto state = std::make_shared<KeepUp>();
  state->live = shared;
  state->mayDrop = live;
  state->mayTakeFrameThreads =
      threads && shared->slices.load() != static_cast<int>(Slices::several);
  gst_segment_init(&state->segment, GST_FORMAT_UNDEFINED);
  const auto release = [](gpointer data) { delete static_cast<SharedKeepUp*>(data); };
  gst_pad_add_probe(
      input.get(),
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                   GST_PAD_PROBE_TYPE_EVENT_FLUSH),
      keepUp, new SharedKeepUp(state), release);
  const PadPtr output(gst_element_get_static_pad(element, "src"));
  if (live && output != nullptr) {
    gst_pad_add_probe(output.get(), GST_PAD_PROBE_TYPE_BUFFER, dropStale, new SharedKeepUp(state),
                      release);
  }
}

bool decodingFellBehind(GstElement* pipeline) {
  const LiveDecoding* live = liveDecodingOf(pipeline);
  return live != nullptr && live->fellBehind.load();
}

bool decodingIsDropping(GstElement* pipeline) {
  const LiveDecoding* live = liveDecodingOf(pipeline);
  if (live == nullptr) return false;
  // The key frame that ended a drop takes its time to decode and show.
  const gint64 ended = live->droppingEndedUs.load();
  return live->dropping.load() ||
         (ended != 0 && g_get_monotonic_time() - ended < gint64{kLiveStallUs});
}
