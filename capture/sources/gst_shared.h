// Shared between the capture room's GStreamer files, and nowhere else.
#pragma once

#include <gst/gst.h>

#include <memory>

// Owner of a reference to one of GStreamer's objects (an element, a pad, a bus).
struct ObjectUnref {
  void operator()(gpointer object) const { gst_object_unref(object); }
};
using ElementPtr = std::unique_ptr<GstElement, ObjectUnref>;
using PadPtr = std::unique_ptr<GstPad, ObjectUnref>;
using BusPtr = std::unique_ptr<GstBus, ObjectUnref>;

// The name of the factory that made `element` ("tsdemux", "h264parse"), or "".
inline const char* factoryName(GstElement* element) {
  GstElementFactory* factory = element != nullptr ? gst_element_get_factory(element) : nullptr;
  return factory != nullptr ? gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)) : "";
}
