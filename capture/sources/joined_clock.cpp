// A joined recording that falls behind its clock skips ahead, all its pictures together. Two
// large tracks can take more decoding than the machine has; a decoder told by QoS to drop
// pictures drops its own, not the other's, and the compositor would then put two instants into
// one frame. Instead both branches drop the same stretch, before their decoders, up to a time at
// which each has a key frame, so that whole pictures go and both halves stay from one instant.
#include <gst/gst.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/sources/internal.h"

namespace {

// Later than this behind the clock, the recording skips ahead.
constexpr GstClockTime kBehindNs = 250 * GST_MSECOND;
// A skip goes this much beyond where the pictures were when it was decided, on top of how far
// behind they were: what the decoders hold is decoded meanwhile.
constexpr GstClockTime kSkipMarginNs = 100 * GST_MSECOND;
// A key frame's time as a branch sees it may differ from the index's by a little.
constexpr GstClockTime kKeyToleranceNs = 20 * GST_MSECOND;

struct Step {
  std::mutex lock;  // the branches' streaming threads and the compositor's each call in
  std::vector<GstClockTime> keys;
  int branches = 0;
  GstClockTime last[2] = {GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE};  // each branch's last passed
  bool wanted = false;  // the compositor's output is behind
  GstClockTime behindBy = 0;
  bool skipping = false;
  GstClockTime from = 0, until = 0;  // dropped: after `from`, up to the key frame at `until`
  bool resumed[2] = {false, false};
  // Where each branch took up again: the pictures that follow their key frame in decoding but
  // come before it (an open group's leading pictures) refer to what was dropped, and go too.
  GstClockTime resumedAt[2] = {0, 0};
  GstClockTime settledAt = 0;  // no new skip until the pictures shown have passed here
};
using StepPtr = std::shared_ptr<Step>;

struct Branch {
  StepPtr step;
  int index;
};

// Before a branch's decoder: what lies in a skipped stretch is dropped.
GstPadProbeReturn dropSkipped(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const auto* branch = static_cast<Branch*>(data);
  Step& step = *branch->step;
  const std::lock_guard<std::mutex> hold(step.lock);
  if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_FLUSH) != 0) {
    // A seek starts the recording over: nothing is skipped, nothing is behind.
    if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_STOP) {
      step.skipping = step.wanted = false;
      step.last[0] = step.last[1] = GST_CLOCK_TIME_NONE;
      step.settledAt = step.resumedAt[0] = step.resumedAt[1] = 0;
    }
    return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  const GstClockTime time = GST_BUFFER_PTS(buffer);
  if (!GST_CLOCK_TIME_IS_VALID(time)) return GST_PAD_PROBE_OK;
  const int i = branch->index;
  if (step.wanted && !step.skipping) {
    step.wanted = false;
    // What either branch has passed, both pass; after it, both drop up to a common key frame
    // far enough on.
    GstClockTime from = time;
    for (const GstClockTime last : step.last) {
      if (GST_CLOCK_TIME_IS_VALID(last)) from = std::max(from, last);
    }
    const auto key =
        std::lower_bound(step.keys.begin(), step.keys.end(), from + step.behindBy + kSkipMarginNs);
    if (key != step.keys.end()) {
      step.skipping = true;
      step.from = from;
      step.until = *key;
      step.resumed[0] = step.resumed[1] = false;
    }
  }
  if (step.skipping && !step.resumed[i] && time > step.from) {
    const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (!key || time + kKeyToleranceNs < step.until) return GST_PAD_PROBE_DROP;
    step.resumed[i] = true;
    step.resumedAt[i] = time;
    if (step.resumed[0] && (step.resumed[1] || step.branches < 2)) step.skipping = false;
    step.settledAt = step.until;
  }
  if (time < step.resumedAt[i]) return GST_PAD_PROBE_DROP;
  step.last[i] = time;
  return GST_PAD_PROBE_OK;
}

// After the compositor: how far its pictures are behind the clock.
GstPadProbeReturn watchLateness(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  Step& step = **static_cast<StepPtr*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  GstEvent* segmentEvent = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
  GstElement* element = gst_pad_get_parent_element(pad);
  GstClock* clock = element != nullptr ? gst_element_get_clock(element) : nullptr;
  if (segmentEvent != nullptr && clock != nullptr && GST_BUFFER_PTS_IS_VALID(buffer)) {
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(segmentEvent, &segment);
    const GstClockTime running =
        gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    const GstClockTime now = gst_clock_get_time(clock) - gst_element_get_base_time(element);
    const GstClockTime stream =
        gst_segment_to_stream_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    const std::lock_guard<std::mutex> hold(step.lock);
    if (GST_CLOCK_TIME_IS_VALID(running) && now > running + kBehindNs && !step.skipping &&
        GST_CLOCK_TIME_IS_VALID(stream) && stream >= step.settledAt) {
      step.wanted = true;
      step.behindBy = now - running;
    }
  }
  if (clock != nullptr) gst_object_unref(clock);
  if (element != nullptr) gst_object_unref(element);
  if (segmentEvent != nullptr) gst_event_unref(segmentEvent);
  return GST_PAD_PROBE_OK;
}

}  // namespace

void keepJoinedOnClock(GstElement* pipeline, const std::vector<double>& keys) {
  auto step = std::make_shared<Step>();
  for (const double key : keys) {
    if (std::isfinite(key) && key >= 0)
      step->keys.push_back(static_cast<GstClockTime>(key * GST_SECOND));
  }
  std::sort(step->keys.begin(), step->keys.end());
  for (int i = 0; i < 2; ++i) {
    const std::string name = "lumivane_queue" + std::to_string(i);
    GstElement* queue = gst_bin_get_by_name(GST_BIN(pipeline), name.c_str());
    if (queue == nullptr) continue;
    ++step->branches;
    GstPad* output = gst_element_get_static_pad(queue, "src");
    gst_pad_add_probe(
        output,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_FLUSH),
        dropSkipped, new Branch{step, i}, [](gpointer data) { delete static_cast<Branch*>(data); });
    gst_object_unref(output);
    gst_object_unref(queue);
  }
  GstElement* join = gst_bin_get_by_name(GST_BIN(pipeline), "lumivane_join");
  if (join == nullptr) return;
  GstPad* output = gst_element_get_static_pad(join, "src");
  gst_pad_add_probe(output, GST_PAD_PROBE_TYPE_BUFFER, watchLateness, new StepPtr(step),
                    [](gpointer data) { delete static_cast<StepPtr*>(data); });
  gst_object_unref(output);
  gst_object_unref(join);
}
