// Decoded pictures handed to the viewer without a copy. FFmpeg's decoders keep each picture as
// a reference for the pictures after it, and GStreamer's decoder keeps its buffer mapped for
// writing as long as FFmpeg holds it. A buffer mapped for writing cannot be shared, so the
// decoder copied every picture it handed on: at 4K, 11 MB and 3 to 4% of a core at 30 fps.
//
// The appsink offers the decoder buffers whose planes are reached through their video meta
// without mapping the memory. The decoder decodes into them, and the picture it hands on shares
// their memory. That is sound because FFmpeg writes a picture only before handing it on; what
// maps a shared picture for writing later (an in-place filter of a pipeline) is mapped the usual
// way, which gives it a copy of its own.
#include <gst/video/gstvideopool.h>
#include <gst/video/video.h>

#include "capture/sources/internal.h"

namespace {

// Where a pool's memory block starts, kept on the memory when the pool makes it: the visible part
// begins the memory's offset further on.
GQuark startQuark() {
  static const GQuark quark = g_quark_from_static_string("lumivane-memory-start");
  return quark;
}

gboolean mapPlane(GstVideoMeta* meta, guint plane, GstMapInfo* info, gpointer* data, gint* stride,
                  GstMapFlags flags) {
  GstBuffer* buffer = meta->buffer;
  GstMemory* memory =
      gst_buffer_n_memory(buffer) == 1 ? gst_buffer_peek_memory(buffer, 0) : nullptr;
  auto* start =
      memory != nullptr
          ? static_cast<guint8*>(gst_mini_object_get_qdata(GST_MINI_OBJECT(memory), startQuark()))
          : nullptr;
  // A picture shared by two buffers is written to by no one; a writer gets a copy of its own,
  // as GStreamer gives it, below.
  const bool shared = memory != nullptr && !gst_memory_is_writable(memory);
  if (start != nullptr && meta->offset[plane] < memory->size &&
      !(shared && (flags & GST_MAP_WRITE))) {
    *info = GstMapInfo{};
    info->flags = flags;
    info->data = start + memory->offset + meta->offset[plane];
    info->size = memory->size - meta->offset[plane];
    *data = info->data;
    *stride = meta->stride[plane];
    return TRUE;
  }
  // As GStreamer maps a plane itself: the memory that holds it, locked.
  guint index = 0, length = 0;
  gsize skip = 0;
  if (!gst_buffer_find_memory(buffer, meta->offset[plane], 1, &index, &length, &skip) ||
      !gst_buffer_map_range(buffer, index, length, info, flags)) {
    return FALSE;
  }
  *data = info->data + skip;
  *stride = meta->stride[plane];
  return TRUE;
}

gboolean unmapPlane(GstVideoMeta* meta, guint, GstMapInfo* info) {
  if (info->memory != nullptr) gst_buffer_unmap(meta->buffer, info);
  return TRUE;
}

struct LumivaneSharingPool {
  GstVideoBufferPool parent;
};
struct LumivaneSharingPoolClass {
  GstVideoBufferPoolClass parent;
};

G_DEFINE_TYPE(LumivaneSharingPool, lumivane_sharing_pool, GST_TYPE_VIDEO_BUFFER_POOL)

GstFlowReturn allocShared(GstBufferPool* pool, GstBuffer** buffer,
                          GstBufferPoolAcquireParams* params) {
  const GstFlowReturn made =
      GST_BUFFER_POOL_CLASS(lumivane_sharing_pool_parent_class)->alloc_buffer(pool, buffer, params);
  GstVideoMeta* meta = made == GST_FLOW_OK ? gst_buffer_get_video_meta(*buffer) : nullptr;
  if (meta == nullptr || gst_buffer_n_memory(*buffer) != 1) return made;
  GstMemory* memory = gst_buffer_peek_memory(*buffer, 0);
  // Only plain memory stays where one mapping found it.
  if (!gst_memory_is_type(memory, GST_ALLOCATOR_SYSMEM)) return made;
  GstMapInfo info;
  if (!gst_memory_map(memory, &info, GST_MAP_READ)) return made;
  gst_mini_object_set_qdata(GST_MINI_OBJECT(memory), startQuark(), info.data - memory->offset,
                            nullptr);
  gst_memory_unmap(memory, &info);
  meta->map = mapPlane;
  meta->unmap = unmapPlane;
  return made;
}

void lumivane_sharing_pool_class_init(LumivaneSharingPoolClass* kind) {
  GST_BUFFER_POOL_CLASS(kind)->alloc_buffer = allocShared;
}

void lumivane_sharing_pool_init(LumivaneSharingPool*) {}

// How often the decoder asked, lately: avdec asks twice as it starts, but again at every picture
// when the frame it decodes is wider than the one it shows (an odd width, decoded at the coded
// width), and makes a pool of its own afresh each time. Such a decoder is not offered the pool.
struct Asked {
  gint64 since = 0;  // microseconds, monotonic
  int times = 0;
  bool refused = false;
};

// Answers the decoder's question of where to decode: into a pool of these buffers, read through
// their video meta.
GstPadProbeReturn offerSharingPool(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
  if (GST_QUERY_TYPE(query) != GST_QUERY_ALLOCATION) return GST_PAD_PROBE_OK;
  auto* asked = static_cast<Asked*>(data);
  const gint64 now = g_get_monotonic_time();
  if (now - asked->since > G_USEC_PER_SEC) *asked = Asked{now, 0, asked->refused};
  if (++asked->times > 4) asked->refused = true;
  if (asked->refused) return GST_PAD_PROBE_OK;
  GstCaps* caps = nullptr;
  gboolean needPool = FALSE;
  gst_query_parse_allocation(query, &caps, &needPool);
  GstVideoInfo video;
  if (caps == nullptr || !gst_video_info_from_caps(&video, caps)) return GST_PAD_PROBE_OK;
  if (needPool) {
    auto* pool = GST_BUFFER_POOL(
        gst_object_ref_sink(g_object_new(lumivane_sharing_pool_get_type(), nullptr)));
    // No limit: the decoder keeps as many pictures as its references need.
    gst_query_add_allocation_pool(query, pool, static_cast<guint>(video.size), 0, 0);
    gst_object_unref(pool);
  }
  gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
  return GST_PAD_PROBE_HANDLED;
}

}  // namespace

void shareDecodedPictures(GstElement* sink) {
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  if (pad == nullptr) return;
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM, offerSharingPool, new Asked,
                    [](gpointer asked) { delete static_cast<Asked*>(asked); });
  gst_object_unref(pad);
}
