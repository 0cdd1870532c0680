// GStreamer pipelines as sources, run here rather than through the capture library, whose
// GStreamer back end waits without end for a pipeline that never starts or stalls. Every wait
// here has a time-out, and GStreamer's own messages stay off the terminal.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "capture/source_internal.h"

namespace {

// A pipeline that has not started after this long is given up.
constexpr GstClockTime kStartTimeout = 2 * GST_SECOND;
// A running pipeline that hands over no frame for this long has stopped.
constexpr GstClockTime kFrameTimeout = 1 * GST_SECOND;

void dropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

bool startGstreamer() {
  static const bool started = [] {
    if (!gst_init_check(nullptr, nullptr, nullptr)) return false;
    gst_debug_set_default_threshold(GST_LEVEL_NONE);
    gst_debug_remove_log_function(gst_debug_log_default);
    // GLib's warnings and criticals (a broken element's, say) would go to the terminal.
    g_log_set_default_handler(dropLogMessage, nullptr);
    return true;
  }();
  return started;
}

GstElement* findAppSink(GstElement* pipeline) {
  if (GST_IS_APP_SINK(pipeline)) return GST_ELEMENT(gst_object_ref(pipeline));
  if (!GST_IS_BIN(pipeline)) return nullptr;
  GstElement* found = nullptr;
  GstIterator* sinks = gst_bin_iterate_sinks(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  while (found == nullptr && gst_iterator_next(sinks, &item) == GST_ITERATOR_OK) {
    GstElement* sink = GST_ELEMENT(g_value_get_object(&item));
    if (GST_IS_APP_SINK(sink)) found = GST_ELEMENT(gst_object_ref(sink));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(sinks);
  return found;
}

}  // namespace

bool isPipeline(const std::string& text) { return text.find(" ! ") != std::string::npos; }

std::string completePipeline(const std::string& text) {
  const size_t end = text.find_last_not_of(" \t");
  const std::string trimmed = end == std::string::npos ? "" : text.substr(0, end + 1);
  const size_t link = trimmed.rfind(" ! ");
  const std::string last = trimmed.substr(link == std::string::npos ? 0 : link + 3);
  const size_t name = last.find_first_not_of(" \t");
  const bool endsInAppSink =
      name != std::string::npos && last.compare(name, 7, "appsink") == 0 &&
      (last.size() == name + 7 || last[name + 7] == ' ' || last[name + 7] == '\t');
  return endsInAppSink ? trimmed : trimmed + " ! videoconvert ! appsink";
}

bool openPipeline(FrameSource& source) {
  if (!startGstreamer()) return false;
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch_full(completePipeline(source.choice.location).c_str(),
                                               nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &error);
  if (error != nullptr) g_error_free(error);
  if (pipeline == nullptr) return false;
  GstElement* sink = findAppSink(pipeline);
  if (sink == nullptr) {
    gst_object_unref(pipeline);
    return false;
  }
  // The newest frame only, as it comes, in layouts that a cv::Mat holds as they are.
  GstCaps* caps =
      gst_caps_from_string("video/x-raw, format=(string){ BGR, BGRA, BGRx, GRAY8, GRAY16_LE }");
  g_object_set(sink, "drop", TRUE, "max-buffers", 1, "sync", FALSE, "caps", caps, nullptr);
  gst_caps_unref(caps);
  source.pipeline = pipeline;
  source.pipelineSink = sink;
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  const GstStateChangeReturn started =
      gst_element_get_state(pipeline, nullptr, nullptr, kStartTimeout);
  if (started == GST_STATE_CHANGE_SUCCESS || started == GST_STATE_CHANGE_NO_PREROLL) return true;
  closePipeline(source);
  return false;
}

bool readPipeline(FrameSource& source) {
  GstSample* sample =
      gst_app_sink_try_pull_sample(GST_APP_SINK(source.pipelineSink), kFrameTimeout);
  if (sample == nullptr) return false;  // stopped, ended or failed
  GstVideoInfo info;
  GstMapInfo map;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  bool ok = gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) && buffer != nullptr &&
            gst_buffer_map(buffer, &map, GST_MAP_READ);
  if (ok) {
    int type = CV_8UC3;
    switch (GST_VIDEO_INFO_FORMAT(&info)) {
      case GST_VIDEO_FORMAT_BGRA:
      case GST_VIDEO_FORMAT_BGRx:
        type = CV_8UC4;
        break;
      case GST_VIDEO_FORMAT_GRAY8:
        type = CV_8UC1;
        break;
      case GST_VIDEO_FORMAT_GRAY16_LE:
        type = CV_16UC1;
        break;
      default:
        break;
    }
    const int width = GST_VIDEO_INFO_WIDTH(&info), height = GST_VIDEO_INFO_HEIGHT(&info);
    const size_t stride = static_cast<size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
    ok = width > 0 && height > 0 && stride * static_cast<size_t>(height) <= map.size;
    if (ok) cv::Mat(height, width, type, map.data, stride).copyTo(source.frame);
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(sample);
  return ok;
}

void closePipeline(FrameSource& source) {
  if (source.pipeline != nullptr) {
    gst_element_set_state(source.pipeline, GST_STATE_NULL);
    gst_object_unref(source.pipeline);
  }
  if (source.pipelineSink != nullptr) gst_object_unref(source.pipelineSink);
  source.pipeline = source.pipelineSink = nullptr;
}
