// H.264 and H.265 pictures of a live MPEG-TS stream go to their decoder as soon as the demuxer
// has them whole.
//
// The demuxer hands a video PES on once the next one starts. The parser, which splits what it
// gets at start codes, then holds the PES's last NAL unit until more data shows where it ends:
// one more picture period, 33 ms at 30 fps, on every picture. Where the PES that follows begins
// a new access unit, the one handed on is a whole picture, and a gap event makes the parser
// finish it at once. Whether it does is read from the transport stream before the demuxer reads
// it: the demuxer hands a PES on while it reads the packet that starts the next, which has
// therefore been read here. Streams whose pictures span several PES (a slice in each, or PES cut
// at a length) are left to the parser where the next PES does not begin a picture.
#include <gst/gst.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "capture/sources/gst_shared.h"
#include "capture/sources/internal.h"

namespace {

constexpr std::size_t kPacket = 188;
// Enough of a PES's start for zero bytes, a start code, the NAL header and a slice's first bit.
constexpr std::size_t kHeadBytes = 16;
// PES remembered per stream; each is matched within a buffer or two of the demuxer's.
constexpr std::size_t kKeptPes = 32;
constexpr std::size_t kMaxStreams = 8;

enum class Codec { h264, h265, other };

// Whether a NAL unit that follows a picture's slices begins the next access unit, as the
// parsers tell it. `nal` starts at the NAL header.
bool beginsAccessUnit(Codec codec, const unsigned char* nal, std::size_t size) {
  if (codec == Codec::h264) {
    if (size < 2) return false;
    const int type = nal[0] & 0x1f;
    // SEI, parameter sets, delimiter, and the types reserved to start one.
    if ((type >= 6 && type <= 9) || (type >= 14 && type <= 18)) return true;
    // A slice whose first_mb_in_slice, an Exp-Golomb code, is 0: its first bit is 1.
    return (type == 1 || type == 2 || type == 5) && (nal[1] & 0x80) != 0;
  }
  if (size < 3) return false;
  const int type = (nal[0] >> 1) & 0x3f;
  const int layer = ((nal[0] & 1) << 5) | (nal[1] >> 3);
  if (layer != 0) return false;  // another layer of the same picture
  if ((type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
      (type >= 48 && type <= 55)) {
    return true;
  }
  // A slice segment with first_slice_segment_in_pic_flag set.
  return ((type >= 0 && type <= 9) || (type >= 16 && type <= 21)) && (nal[2] & 0x80) != 0;
}

// Whether a PES's first bytes are a start code and a NAL unit that begins an access unit; the
// rest of a NAL unit cut off by the PES before begins nothing.
bool headBeginsAccessUnit(Codec codec, const unsigned char* head, std::size_t size) {
  std::size_t zeros = 0;
  while (zeros < size && head[zeros] == 0) ++zeros;
  if (zeros < 2 || zeros >= size || head[zeros] != 1) return false;
  return beginsAccessUnit(codec, head + zeros + 1, size - zeros - 1);
}

// Whether a PES ends with a picture: its last NAL unit is a slice, or follows one and is one
// that the parser keeps with the picture (filler, the end of a sequence or of the stream, and in
// H.265 the SEI that may follow a picture). Emulation prevention keeps 00 00 01 out of a NAL
// unit's bytes, so the units are found from the end by their start codes.
bool endsWithPicture(Codec codec, const unsigned char* data, std::size_t size) {
  std::size_t limit = size;
  while (limit > 0) {
    const auto* one = static_cast<const unsigned char*>(memrchr(data, 1, limit));
    if (one == nullptr) return false;
    const std::size_t at = static_cast<std::size_t>(one - data);
    limit = at;
    if (at < 2 || data[at - 1] != 0 || data[at - 2] != 0) continue;
    if (at + 1 >= size) return false;
    if (codec == Codec::h264) {
      const int type = data[at + 1] & 0x1f;
      if (type >= 1 && type <= 5) return true;
      if (type < 10 || type > 12) return false;
    } else {
      const int type = (data[at + 1] >> 1) & 0x3f;
      if (type <= 31) return true;
      if (type < 36 || type > 40 || type == 39) return false;
    }
  }
  return false;
}

struct Pes {
  std::size_t size = 0;  // payload bytes, as the demuxer will hand them on
  unsigned char head[kHeadBytes] = {};
  std::size_t headSize = 0;
};

// What one demuxer's input has shown of its video streams: by PID, the latest PES, the last
// still growing. A demuxer fed by a source pushes on the thread that feeds it, so its input and
// output are read in turn; the lock keeps that so for one that pulls and pushes on a task of its
// own.
struct Watch {
  std::mutex mutex;
  std::vector<unsigned char> partial;  // a packet split between buffers
  std::map<unsigned, std::deque<Pes>> streams;
};

void readPacket(Watch& watch, const unsigned char* packet) {
  if ((packet[1] & 0x80) != 0) return;  // marked damaged: the demuxer drops it too
  const unsigned pid = static_cast<unsigned>((packet[1] & 0x1f) << 8 | packet[2]);
  const int control = (packet[3] >> 4) & 3;
  if ((control & 1) == 0) return;  // no payload
  std::size_t at = (control & 2) != 0 ? 5u + packet[4] : 4u;
  if (at >= kPacket) return;
  const unsigned char* payload = packet + at;
  std::size_t size = kPacket - at;
  auto found = watch.streams.find(pid);
  if ((packet[1] & 0x40) != 0) {
    // A PES starts: a video one (stream ids E0 to EF) with its header in this packet is
    // followed; anything else ends what was known of the PID.
    const bool video = size >= 9 && payload[0] == 0 && payload[1] == 0 && payload[2] == 1 &&
                       (payload[3] & 0xf0) == 0xe0 && 9u + payload[8] <= size;
    if (!video) {
      if (found != watch.streams.end()) watch.streams.erase(found);
      return;
    }
    if (found == watch.streams.end()) {
      if (watch.streams.size() >= kMaxStreams) return;
      found = watch.streams.emplace(pid, std::deque<Pes>()).first;
    }
    found->second.emplace_back();
    if (found->second.size() > kKeptPes) found->second.pop_front();
    const std::size_t header = 9u + payload[8];
    payload += header;
    size -= header;
  } else if (found == watch.streams.end() || found->second.empty()) {
    return;
  }
  Pes& pes = found->second.back();
  const std::size_t copied = std::min(kHeadBytes - pes.headSize, size);
  std::memcpy(pes.head + pes.headSize, payload, copied);
  pes.headSize += copied;
  pes.size += size;
}

void readTransportStream(Watch& watch, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    if (watch.partial.empty()) {
      if (data[0] != 0x47) {
        // Out of step with the packets: nothing known holds until they are found again.
        watch.streams.clear();
        const auto* sync = static_cast<const unsigned char*>(std::memchr(data, 0x47, size));
        if (sync == nullptr) return;
        size -= static_cast<std::size_t>(sync - data);
        data = sync;
        continue;
      }
      if (size >= kPacket) {
        readPacket(watch, data);
        data += kPacket;
        size -= kPacket;
        continue;
      }
    }
    const std::size_t taken = std::min(kPacket - watch.partial.size(), size);
    watch.partial.insert(watch.partial.end(), data, data + taken);
    data += taken;
    size -= taken;
    if (watch.partial.size() == kPacket) {
      readPacket(watch, watch.partial.data());
      watch.partial.clear();
    }
  }
}

void readBuffer(Watch& watch, GstBuffer* buffer) {
  if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT)) {
    watch.partial.clear();
    watch.streams.clear();
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    watch.partial.clear();
    watch.streams.clear();
    return;
  }
  readTransportStream(watch, map.data, map.size);
  gst_buffer_unmap(buffer, &map);
}

GstPadProbeReturn watchInput(GstPad*, GstPadProbeInfo* info, gpointer data) {
  Watch& watch = *static_cast<Watch*>(data);
  const std::lock_guard<std::mutex> lock(watch.mutex);
  if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) != 0) {
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
      readBuffer(watch, gst_buffer_list_get(list, i));
    }
  } else {
    readBuffer(watch, GST_PAD_PROBE_INFO_BUFFER(info));
  }
  return GST_PAD_PROBE_OK;
}

// Whether the PES handed on (`data`) was followed by one that begins an access unit: it is
// found among those read by its size and first bytes, and those before it are forgotten.
bool nextBeginsAccessUnit(Watch& watch, unsigned pid, Codec codec, const unsigned char* data,
                          std::size_t size) {
  const std::lock_guard<std::mutex> lock(watch.mutex);
  auto found = watch.streams.find(pid);
  if (found == watch.streams.end()) return false;
  std::deque<Pes>& read = found->second;
  for (std::size_t i = 0; i + 1 < read.size(); ++i) {
    if (read[i].size != size || std::memcmp(read[i].head, data, read[i].headSize) != 0) continue;
    const Pes& next = read[i + 1];
    const bool begins = headBeginsAccessUnit(codec, next.head, next.headSize);
    read.erase(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    return begins;
  }
  return false;
}

GstPadProbeReturn dropGaps(GstPad*, GstPadProbeInfo* info, gpointer) {
  return GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_GAP ? GST_PAD_PROBE_DROP
                                                                         : GST_PAD_PROBE_OK;
}

const char* factoryOf(GstPad* pad) {
  const ElementPtr parent(gst_pad_get_parent_element(pad));
  return factoryName(parent.get());
}

// The parser's source pad downstream of a demuxer pad, past decodebin's multiqueue, or null.
PadPtr parserAfter(GstPad* pad) {
  PadPtr peer(gst_pad_get_peer(pad));
  if (peer != nullptr && std::strcmp(factoryOf(peer.get()), "multiqueue") == 0) {
    // The queue's pads go in pairs, sink_N to src_N.
    const ElementPtr queue(gst_pad_get_parent_element(peer.get()));
    const std::string name = GST_PAD_NAME(peer.get());
    peer.reset();
    if (queue != nullptr && name.rfind("sink_", 0) == 0) {
      const PadPtr out(gst_element_get_static_pad(queue.get(), ("src_" + name.substr(5)).c_str()));
      if (out != nullptr) peer.reset(gst_pad_get_peer(out.get()));
    }
  }
  if (peer == nullptr) return nullptr;
  const char* factory = factoryOf(peer.get());
  if (std::strcmp(factory, "h264parse") != 0 && std::strcmp(factory, "h265parse") != 0) {
    return nullptr;
  }
  const ElementPtr parser(gst_pad_get_parent_element(peer.get()));
  return PadPtr(gst_element_get_static_pad(parser.get(), "src"));
}

// One video pad of the demuxer.
struct Tap {
  Watch* watch;
  unsigned pid;
  PadPtr parser;  // the parser's source pad, once found, whose gaps are dropped
};

Codec codecOf(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (caps == nullptr) return Codec::other;
  const char* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  const Codec codec = std::strcmp(name, "video/x-h264") == 0   ? Codec::h264
                      : std::strcmp(name, "video/x-h265") == 0 ? Codec::h265
                                                               : Codec::other;
  gst_caps_unref(caps);
  return codec;
}

GstPadProbeReturn handOn(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  Tap& tap = *static_cast<Tap*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  const Codec codec = codecOf(pad);
  if (codec == Codec::other) return GST_PAD_PROBE_OK;
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
  // Every PES handed on is looked up, whole or not, so that the records keep in step with it.
  const bool whole = nextBeginsAccessUnit(*tap.watch, tap.pid, codec, map.data, map.size) &&
                     endsWithPicture(codec, map.data, map.size);
  gst_buffer_unmap(buffer, &map);
  const GstClockTime time = GST_BUFFER_DTS_OR_PTS(buffer);
  if (!whole || !GST_CLOCK_TIME_IS_VALID(time)) return GST_PAD_PROBE_OK;
  if (tap.parser == nullptr) {
    tap.parser = parserAfter(pad);
    if (tap.parser == nullptr) return GST_PAD_PROBE_OK;
    gst_pad_add_probe(tap.parser.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, dropGaps, nullptr,
                      nullptr);
  }
  // A gap before the parser has said what it sends would make it guess.
  if (!gst_pad_has_current_caps(tap.parser.get())) return GST_PAD_PROBE_OK;
  const PadPtr peer(gst_pad_get_peer(pad));
  if (peer == nullptr) return GST_PAD_PROBE_OK;
  // The PES goes on here rather than after the probe, so that the gap can follow it.
  const GstFlowReturn flow = gst_pad_chain(peer.get(), buffer);
  if (flow == GST_FLOW_OK) gst_pad_send_event(peer.get(), gst_event_new_gap(time, 0));
  GST_PAD_PROBE_INFO_FLOW_RETURN(info) = flow;
  return GST_PAD_PROBE_HANDLED;
}

void tapVideoPad(GstElement*, GstPad* pad, gpointer data) {
  // Video pads are named video_<program>_<PID>, both in hexadecimal.
  const std::string name = GST_PAD_NAME(pad);
  const std::size_t last = name.rfind('_');
  if (name.rfind("video_", 0) != 0 || last == std::string::npos) return;
  char* end = nullptr;
  const unsigned long pid = std::strtoul(name.c_str() + last + 1, &end, 16);
  if (*end != '\0' || pid > 0x1fff) return;
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, handOn,
                    new Tap{static_cast<Watch*>(data), static_cast<unsigned>(pid), nullptr},
                    [](gpointer tap) { delete static_cast<Tap*>(tap); });
}

}  // namespace

void handOnWholePictures(GstElement* demuxer) {
  auto* watch = new Watch();
  g_object_set_data_full(G_OBJECT(demuxer), "lumivane-whole-pictures", watch,
                         [](gpointer data) { delete static_cast<Watch*>(data); });
  const PadPtr input(gst_element_get_static_pad(demuxer, "sink"));
  if (input != nullptr) {
    gst_pad_add_probe(
        input.get(),
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        watchInput, watch, nullptr);
  }
  g_signal_connect(demuxer, "pad-added", G_CALLBACK(tapVideoPad), watch);
}
