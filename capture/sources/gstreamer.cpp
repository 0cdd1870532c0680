// Files, network streams and pipelines, read through GStreamer: its own threads demux and
// decode, and the idle handler only takes the newest frame when one is ready. MJPEG stays
// compressed up to the frame that is shown, which alone is decoded.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "capture/sources/gst_shared.h"
#include "capture/sources/internal.h"

namespace {

// A live stream or pipeline that has delivered and then sends nothing for this long has
// stopped; a 1 fps camera or a slow key frame stays well inside it.
constexpr std::uint32_t kLiveStallMs = 5000;
constexpr std::uint32_t kMaxStallMs = 60000;
// A server that accepted the connection and has said nothing for this long does not answer.
constexpr guint kServerSilenceS = 5;

// A buffer's or a video frame's mapping, released however the code that reads it leaves (a
// failed allocation while a frame is copied must not keep the buffer mapped for good).
struct BufferMap {
  explicit BufferMap(GstBuffer* mappedBuffer) : buffer(mappedBuffer) {
    mapped = gst_buffer_map(buffer, &info, GST_MAP_READ);
  }
  ~BufferMap() {
    if (mapped) gst_buffer_unmap(buffer, &info);
  }
  BufferMap(const BufferMap&) = delete;
  BufferMap& operator=(const BufferMap&) = delete;
  GstBuffer* buffer;
  GstMapInfo info{};
  bool mapped = false;
};

struct FrameMap {
  FrameMap(const GstVideoInfo* videoInfo, GstBuffer* buffer, GstMapFlags flags) {
    mapped = gst_video_frame_map(&frame, const_cast<GstVideoInfo*>(videoInfo), buffer, flags);
  }
  ~FrameMap() {
    if (mapped) gst_video_frame_unmap(&frame);
  }
  FrameMap(const FrameMap&) = delete;
  FrameMap& operator=(const FrameMap&) = delete;
  GstVideoFrame frame{};
  bool mapped = false;
};
// Marks a pipeline that its reader has given up, for a start still waiting in GStreamer's pool.
constexpr const char* kClosedKey = "lumivane-closed";
// The layouts that our own appsink asks videoconvert for: those a cv::Mat holds as they are.
constexpr const char* kConvertedCaps =
    "video/x-raw, format=(string){ BGR, BGRA, BGRx, GRAY8, GRAY16_LE }";
// The same for a viewer that takes frames in their own layout: those the shader reads.
constexpr const char* kPlanesCaps =
    "video/x-raw, format=(string){ I420, YV12, NV12, NV21, Y42B, Y444, YUY2, UYVY, GRAY8, RGB, "
    "BGR, RGBx, BGRx, RGBA, BGRA }";
// Where decoding stops: raw video, or JPEG pictures that only the shown one is decoded from.
constexpr const char* kDecodedCaps = "video/x-raw; image/jpeg";
// What the source hands on besides: audio as it comes, undecoded where its kind is known, each
// stream into a sink of its own. A stream that ends nowhere stops some demuxers (flvdemux, whose
// audio comes before its video) with not-linked.
constexpr const char* kOtherCaps =
    "; audio/x-raw; audio/mpeg; audio/x-ac3; audio/x-eac3; audio/x-opus; audio/x-alaw; "
    "audio/x-mulaw; audio/x-adpcm; audio/x-vorbis; audio/x-flac; text/x-raw";

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

// Owners of GStreamer's reference-counted objects.
struct SampleUnref {
  void operator()(GstSample* sample) const { gst_sample_unref(sample); }
};
struct MessageUnref {
  void operator()(GstMessage* message) const { gst_message_unref(message); }
};
struct ErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct ConverterFree {
  void operator()(GstVideoConverter* converter) const { gst_video_converter_free(converter); }
};
struct CapsUnref {
  void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
using SamplePtr = std::unique_ptr<GstSample, SampleUnref>;
using MessagePtr = std::unique_ptr<GstMessage, MessageUnref>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using ConverterPtr = std::unique_ptr<GstVideoConverter, ConverterFree>;
using CapsPtr = std::unique_ptr<GstCaps, CapsUnref>;

// Starting and stopping run on GStreamer's thread pool: a source can take seconds to connect
// (tcpclientsrc connects as it starts) or to stop (an RTSP teardown), and the window must not
// wait for either. A stop that overtakes its start leaves the start nothing to do.
void startAsync(GstElement* pipeline, gpointer) {
  GST_STATE_LOCK(pipeline);
  if (g_object_get_data(G_OBJECT(pipeline), kClosedKey) == nullptr) {
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
  }
  GST_STATE_UNLOCK(pipeline);
}

void stopAsync(GstElement* pipeline, gpointer) { gst_element_set_state(pipeline, GST_STATE_NULL); }

// rtmp2src hands on FLV that announces audio and video, whatever the server sends, and flvdemux
// waits 6 s of stream for an audio stream that a camera publishing video alone never sends;
// decodebin shows nothing until then. Video for this long without audio is a stream without.
constexpr GstClockTime kAudioWaitNs = GST_SECOND;
constexpr const char* kAllPadsKey = "lumivane-all-pads";

void allPadsAdded(GstElement* demuxer, gpointer) {
  g_object_set_data(G_OBJECT(demuxer), kAllPadsKey, GINT_TO_POINTER(1));
}

GstPadProbeReturn videoWithoutAudio(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  auto* first = static_cast<GstClockTime*>(data);
  const GstClockTime time = GST_BUFFER_DTS_OR_PTS(GST_PAD_PROBE_INFO_BUFFER(info));
  if (!GST_CLOCK_TIME_IS_VALID(time)) return GST_PAD_PROBE_OK;
  if (!GST_CLOCK_TIME_IS_VALID(*first)) *first = time;
  if (time < *first + kAudioWaitNs) return GST_PAD_PROBE_OK;
  const ElementPtr demuxer(gst_pad_get_parent_element(pad));
  if (demuxer == nullptr) return GST_PAD_PROBE_REMOVE;
  GstPad* audio = gst_element_get_static_pad(demuxer.get(), "audio");
  if (audio != nullptr) {
    gst_object_unref(audio);
  } else if (g_object_get_data(G_OBJECT(demuxer.get()), kAllPadsKey) == nullptr) {
    gst_element_no_more_pads(demuxer.get());
  }
  return GST_PAD_PROBE_REMOVE;
}

void flvPadAdded(GstElement*, GstPad* pad, gpointer) {
  if (std::strcmp(GST_PAD_NAME(pad), "video") != 0) return;
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, videoWithoutAudio,
                    new GstClockTime(GST_CLOCK_TIME_NONE),
                    [](gpointer first) { delete static_cast<GstClockTime*>(first); });
}

// Whether a pad's stream is video or pictures, not audio or text.
bool carriesPicture(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (caps == nullptr) caps = gst_pad_query_caps(pad, nullptr);
  const char* kind =
      gst_caps_get_size(caps) > 0 ? gst_structure_get_name(gst_caps_get_structure(caps, 0)) : "";
  const bool picture = g_str_has_prefix(kind, "video/") || g_str_has_prefix(kind, "image/");
  gst_caps_unref(caps);
  return picture;
}

// A stream the viewer does not show (audio, subtitles) ends in a sink of its own.
void sinkOtherStreams(GstElement* source, GstPad* pad, gpointer) {
  const bool picture = carriesPicture(pad);
  GstObject* bin = gst_element_get_parent(source);
  if (picture || bin == nullptr) {
    if (bin != nullptr) gst_object_unref(bin);
    return;
  }
  GstElement* sink = gst_element_factory_make("fakesink", nullptr);
  if (sink != nullptr) {
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(bin), sink);
    GstPad* input = gst_element_get_static_pad(sink, "sink");
    gst_pad_link(pad, input);
    gst_object_unref(input);
    gst_element_sync_state_with_parent(sink);
  }
  gst_object_unref(bin);
}

// Posted on the bus when a file turns out to hold no picture.
constexpr const char* kNoPictureMessage = "lumivane-no-picture";

// All of a file's streams are there once uridecodebin has no more pads. A file without a
// picture among them (sound alone, or video that nothing here decodes) never shows one, and
// is said at once rather than after the 10 s that a first frame may take.
void lookForPicture(GstElement* source, gpointer) {
  bool picture = false;
  GstIterator* pads = gst_element_iterate_src_pads(source);
  gst_iterator_foreach(
      pads,
      [](const GValue* pad, gpointer found) {
        if (carriesPicture(GST_PAD(g_value_get_object(pad)))) *static_cast<bool*>(found) = true;
      },
      &picture);
  gst_iterator_free(pads);
  if (!picture) {
    gst_element_post_message(
        source, gst_message_new_application(GST_OBJECT(source),
                                            gst_structure_new_empty(kNoPictureMessage)));
  }
}

// Live streams at their lowest latency. Without single-stream, multipartdemux waits for more
// parts before it exposes its one stream, which holds a 1 fps MJPEG camera for good; an HTTP
// source that is not live makes the pipeline preroll and buffer.
void setUpLiveElement(GstBin* pipeline, GstBin*, GstElement* element, gpointer) {
  const char* name = factoryName(element);
  keepDecodingUp(pipeline, element, true);
  if (std::strcmp(name, "tsdemux") == 0) {
    handOnWholePictures(element);
  } else if (std::strcmp(name, "multipartdemux") == 0) {
    g_object_set(element, "single-stream", TRUE, nullptr);
  } else if (std::strcmp(name, "souphttpsrc") == 0) {
    g_object_set(element, "is-live", TRUE, "timeout", kServerSilenceS, nullptr);
  } else if (std::strcmp(name, "rtspsrc") == 0) {
    // Its own default waits 20 s for a server that accepted and says nothing.
    g_object_set(element, "latency", 0u, "tcp-timeout", guint64{kServerSilenceS} * 1000000,
                 nullptr);
  } else if (std::strcmp(name, "rtmp2src") == 0) {
    g_object_set(element, "timeout", kServerSilenceS, nullptr);
  } else if (std::strcmp(name, "flvdemux") == 0) {
    g_signal_connect(element, "no-more-pads", G_CALLBACK(allPadsAdded), nullptr);
    g_signal_connect(element, "pad-added", G_CALLBACK(flvPadAdded), nullptr);
  }
}

// Files and recordings play on the clock: their decoders keep up by their threads alone. A
// recording still being made (a live playlist) is shown near its live edge.
void setUpPacedElement(GstBin* pipeline, GstBin*, GstElement* element, gpointer) {
  keepDecodingUp(pipeline, element, false);
  followLiveEdge(pipeline, element);
}

std::string oneLine(std::string text) {
  // A library's message may quote the URL or the pipeline, secrets and all.
  text = withoutSecrets(text);
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '"', '\'');
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

// A server's own refusal: as RTSP and HTTP servers word it, whatever the element's capitals,
// and as an RTMP server answers a play or connect command (rtmp2src quotes its status object).
const char* serverRefusal(const GError* error) {
  for (const char* refusal :
       {"unauthorized", "forbidden", "session not found", "not found", "service unavailable"}) {
    if (g_ascii_strncasecmp(error->message, refusal, std::strlen(refusal)) == 0) return refusal;
  }
  const std::string message = error->message;
  if (message.find("NetStream.Play.StreamNotFound") != std::string::npos) {
    return "nobody publishes this stream on the server";
  }
  if (message.find("play denied") != std::string::npos) return "the server refused to play it";
  // Not "'connect' cmd failed; ...", which is a reply rtmp2src cannot read.
  if (message.find("'connect' cmd failed:") != std::string::npos) {
    return "the server refused its application";
  }
  return nullptr;
}

// The library's reason for an error, in our words where its own are vague.
std::string errorReason(const GError* error, const char* debug) {
  const std::string details = debug != nullptr ? debug : "";
  if (const char* refusal = serverRefusal(error)) return refusal;
  if (details.find("Connection refused") != std::string::npos) return "connection refused";
  if (error->domain == GST_STREAM_ERROR && error->code == GST_STREAM_ERROR_TYPE_NOT_FOUND) {
    return "not a picture or video the viewer reads";
  }
  if ((error->domain == GST_CORE_ERROR && error->code == GST_CORE_ERROR_MISSING_PLUGIN) ||
      (error->domain == GST_STREAM_ERROR && error->code == GST_STREAM_ERROR_CODEC_NOT_FOUND) ||
      details.find("reason not-linked") != std::string::npos) {
    return "no video stream it can decode";
  }
  // libsoup follows a server's redirects up to its limit, and hands on the last one unfollowed.
  if (details.find("Redirect to: http") != std::string::npos) return "too many redirects";
  // A source's streaming stopped: its own element gives no reason (souphttpsrc, say).
  if (details.find("reason error") != std::string::npos) return "the connection failed";
  if (details.find("reason not-negotiated") != std::string::npos) {
    return "its frames cannot be converted to a picture";
  }
  return oneLine(error->message);
}

// A URL of a recording rather than a live stream (a video file on a web server, an HLS or DASH
// playlist): shown at the pace of its timestamps, as a file is, not as fast as it arrives.
std::string extensionOf(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return "";
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

bool isRecording(const std::string& url) {
  const std::string extension = extensionOf(url);
  for (const char* known : {"mp4", "m4v", "mkv", "mov", "webm", "avi", "m3u8", "mpd"}) {
    if (extension == known) return true;
  }
  return false;
}

// The layout a decoder's format is handed to the screen in; false for one the shader does not
// read, which GStreamer converts first.
bool pixelLayoutOf(GstVideoFormat format, PixelLayout* layout) {
  switch (format) {
    case GST_VIDEO_FORMAT_I420:
      *layout = PixelLayout::i420;
      return true;
    case GST_VIDEO_FORMAT_YV12:
      *layout = PixelLayout::yv12;
      return true;
    case GST_VIDEO_FORMAT_NV12:
      *layout = PixelLayout::nv12;
      return true;
    case GST_VIDEO_FORMAT_NV21:
      *layout = PixelLayout::nv21;
      return true;
    case GST_VIDEO_FORMAT_Y42B:
      *layout = PixelLayout::yuv422;
      return true;
    case GST_VIDEO_FORMAT_Y444:
      *layout = PixelLayout::yuv444;
      return true;
    case GST_VIDEO_FORMAT_YUY2:
      *layout = PixelLayout::yuyv;
      return true;
    case GST_VIDEO_FORMAT_UYVY:
      *layout = PixelLayout::uyvy;
      return true;
    case GST_VIDEO_FORMAT_GRAY8:
      *layout = PixelLayout::grey;
      return true;
    case GST_VIDEO_FORMAT_RGB:
      *layout = PixelLayout::rgb;
      return true;
    case GST_VIDEO_FORMAT_BGR:
      *layout = PixelLayout::bgr;
      return true;
    case GST_VIDEO_FORMAT_RGBx:
    case GST_VIDEO_FORMAT_RGBA:
      *layout = PixelLayout::rgbx;
      return true;
    case GST_VIDEO_FORMAT_BGRx:
    case GST_VIDEO_FORMAT_BGRA:
      *layout = PixelLayout::bgrx;
      return true;
    default:
      return false;
  }
}

// The matrix, range and chroma siting the caps give (GStreamer fills in its defaults where they say
// nothing: BT.709 above 576 rows, BT.601 below, limited range). FCC's is nearly BT.601's, SMPTE
// 240M's nearly BT.709's.
void readColours(const GstVideoInfo& info, Planes* planes) {
  switch (info.colorimetry.matrix) {
    case GST_VIDEO_COLOR_MATRIX_BT709:
    case GST_VIDEO_COLOR_MATRIX_SMPTE240M:
      planes->matrix = ColourMatrix::bt709;
      break;
    case GST_VIDEO_COLOR_MATRIX_BT2020:
      planes->matrix = ColourMatrix::bt2020;
      break;
    case GST_VIDEO_COLOR_MATRIX_UNKNOWN:
      planes->matrix = info.height > 576 ? ColourMatrix::bt709 : ColourMatrix::bt601;
      break;
    default:
      planes->matrix = ColourMatrix::bt601;
      break;
  }
  planes->fullRange = info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
  planes->chromaCositedX = (info.chroma_site & GST_VIDEO_CHROMA_SITE_H_COSITED) != 0;
  planes->chromaCositedY = (info.chroma_site & GST_VIDEO_CHROMA_SITE_V_COSITED) != 0;
}

// A sample kept mapped while its planes are on their way to the screen.
struct MappedSample {
  MappedSample(SamplePtr taken, const GstVideoInfo* info) : sample(std::move(taken)) {
    mapped = gst_video_frame_map(&frame, const_cast<GstVideoInfo*>(info),
                                 gst_sample_get_buffer(sample.get()), GST_MAP_READ);
  }
  ~MappedSample() {
    if (mapped) gst_video_frame_unmap(&frame);
  }
  MappedSample(const MappedSample&) = delete;
  MappedSample& operator=(const MappedSample&) = delete;
  SamplePtr sample;
  GstVideoFrame frame{};
  bool mapped = false;
};

// Wakes a sleeping viewer when the appsink has a new sample: a byte count on an eventfd, written
// on the streaming thread. It lives as long as the appsink does, which may outlast its reader.
struct Wake {
  int fd = -1;
};

GstFlowReturn wakeOnSample(GstAppSink*, gpointer data) {
  const std::uint64_t one = 1;
  const ssize_t written = write(static_cast<Wake*>(data)->fd, &one, sizeof one);
  (void)written;  // a full count already wakes the viewer
  return GST_FLOW_OK;
}

void dropWake(gpointer data) {
  auto* wake = static_cast<Wake*>(data);
  if (wake->fd >= 0) close(wake->fd);
  delete wake;
}

// A camera's recording of two pictures as one pipeline on one clock: each picture track is
// demuxed and decoded on its own branch, and the compositor puts the pictures of one instant
// into one frame, as the camera laid them (the first over the second, or side by side). The
// files are named on the elements afterwards, so that no name needs quoting here.
std::string joinedPipeline(const Joined& joined) {
  const std::string w = std::to_string(joined.width), h = std::to_string(joined.height);
  // Deep enough for a demuxer that lays a second of one track before the other's.
  const auto branch = [](int i) {
    return " ! queue name=lumivane_queue" + std::to_string(i) +
           " max-size-buffers=0 max-size-bytes=0 max-size-time=3000000000 ! decodebin";
  };
  // Each branch's pictures are labelled with the colours the recording states, so that the
  // compositor's black is black in them too. Something stands between decodebin and the
  // compositor either way: gst_parse cannot link a sometimes pad straight to a request pad.
  const std::string colour = joined.colours.empty() ? " ! videoconvert name=lumivane_colour"
                                                    : " ! capssetter name=lumivane_colour";
  std::string description = "compositor name=lumivane_join background=black";
  std::string sources = " filesrc name=lumivane_file0 ! qtdemux name=lumivane_demux0";
  switch (joined.how) {
    case Joining::stacked:
    case Joining::sideBySide:
      description += joined.how == Joining::stacked ? " sink_1::ypos=" + h : " sink_1::xpos=" + w;
      sources += " lumivane_demux0.video_0" + branch(0) + colour + "0 ! lumivane_join.sink_0";
      sources += " lumivane_demux0.video_1" + branch(1) + colour + "1 ! lumivane_join.sink_1";
      break;
    case Joining::twoFiles:
      description += " sink_1::xpos=" + w;
      sources += " lumivane_demux0.video_0" + branch(0) + colour + "0 ! lumivane_join.sink_0";
      sources += " filesrc name=lumivane_file1 ! qtdemux name=lumivane_demux1";
      sources += " lumivane_demux1.video_0" + branch(1) + colour + "1 ! lumivane_join.sink_1";
      break;
    case Joining::oneOfTwo:
    case Joining::none:
      // The lens on its own side of a frame as wide as both.
      if (joined.left.empty()) description += " sink_0::xpos=" + w;
      description += " ! video/x-raw,width=" + std::to_string(2 * joined.width) + ",height=" + h;
      sources += " lumivane_demux0.video_0" + branch(0) + colour + "0 ! lumivane_join.sink_0";
      break;
  }
  return description + " ! appsink name=lumivane_sink" + sources;
}

enum class Flavour {
  file,      // a file or file:// URL: played on the pipeline's clock, looped
  stream,    // a network stream: the newest frame as soon as it arrives
  pipeline,  // a pipeline as written
};

class GstReader final : public Reader {
 public:
  GstReader(const SourceChoice& choice, SaidOnce& said, bool planes)
      : choice_(choice), said_(said), wantsPlanes_(planes) {}

  ~GstReader() override {
    if (pipeline_ == nullptr) return;
    g_object_set_data(G_OBJECT(pipeline_.get()), kClosedKey, GINT_TO_POINTER(1));
    gst_element_call_async(pipeline_.get(), stopAsync, nullptr, nullptr);
  }

  bool open() override {
    if (!startGstreamer()) {
      reason_ = "GStreamer cannot start";
      return false;
    }
    if (!build()) return false;
    bus_.reset(gst_element_get_bus(pipeline_.get()));
    if (wantsPlanes_) {
      // A viewer that sleeps between frames is woken by each new one, and by the bus's news.
      const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      if (fd >= 0) {
        wake_ = new Wake{fd};
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = wakeOnSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(sink_.get()), &callbacks, wake_, dropWake);
      }
    }
    gst_element_call_async(pipeline_.get(), startAsync, nullptr, nullptr);
    return true;
  }

  ReadResult read(std::uint32_t) override {
    const ReadResult said = readBus();
    if (said != ReadResult::nothingNew) return said;
    if (flavour_ == Flavour::stream && paced_) settleLiveEdge(pipeline_.get());
    if (flavour_ == Flavour::stream && !said_.behind && decodingFellBehind(pipeline_.get())) {
      sayOnce(said_.behind,
              "decoding cannot keep up with " + describeSource(choice_) + "; showing what it can");
    }
    if (wake_ != nullptr) {
      std::uint64_t count = 0;
      const ssize_t got = ::read(wake_->fd, &count, sizeof count);
      (void)got;  // nothing to read is no news
    }
    // Everything ready is taken and only the newest kept: an appsink of the pipeline's own may
    // keep a queue.
    SamplePtr newest;
    while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_.get()), 0)) {
      newest.reset(sample);
    }
    if (newest == nullptr) return ReadResult::nothingNew;
    if (flavour_ == Flavour::stream && paced_ && liveEdgeAhead(pipeline_.get())) {
      return ReadResult::nothingNew;
    }
    planar_ = false;
    if (wantsPlanes_ && toPlanes(newest)) return ReadResult::frame;
    return newest != nullptr && toFrame(newest.get()) ? ReadResult::frame : ReadResult::nothingNew;
  }

  int wakeDescriptors(int fds[2]) const override {
    if (wake_ == nullptr) return 0;
    fds[0] = wake_->fd;
    GPollFD bus{};
    gst_bus_get_pollfd(bus_.get(), &bus);
    fds[1] = bus.fd;
    return bus.fd >= 0 ? 2 : 1;
  }

  // A slow source (a snapshot camera, a pipeline at one frame in eight seconds) gets three of
  // its frame periods, as its caps state them.
  std::uint32_t stallLimitMs() const override {
    if (flavour_ == Flavour::file) return 0;
    // Pictures dropped up to a key frame, which a long group of pictures holds back, are still
    // pictures arriving.
    if (decodingIsDropping(pipeline_.get())) return kMaxStallMs;
    return std::min<std::uint32_t>(kMaxStallMs, std::max(kLiveStallMs, 3 * framePeriodMs_));
  }

 private:
  bool build() {
    const std::string& location = choice_.location;
    std::string description = "uridecodebin name=lumivane_source ! appsink name=lumivane_sink";
    std::string uri;
    if (choice_.kind == SourceKind::pipeline) {
      flavour_ = Flavour::pipeline;
      description = completePipeline(location);
      ownSink_ = description.find("appsink name=lumivane_sink") != std::string::npos;
    } else if (choice_.kind == SourceKind::stream && location.rfind("file://", 0) != 0) {
      flavour_ = Flavour::stream;
      paced_ = isRecording(location);
      uri = gstreamerUrl(location);
      hasEndpoint_ = tcpEndpoint(location, &endpoint_);
      builtUs_ = g_get_monotonic_time();
      reason_ = portFault(location);
      if (reason_.empty()) reason_ = srtSettingsFault(location);
      if (!reason_.empty()) return false;
      if (location.rfind("tcp://", 0) == 0) {
        // uridecodebin has no handler for tcp://.
        description =
            "tcpclientsrc name=lumivane_tcp ! decodebin name=lumivane_source ! appsink "
            "name=lumivane_sink";
      }
    } else if (choice_.joined.how != Joining::none) {
      flavour_ = Flavour::file;
      description = joinedPipeline(choice_.joined);
    } else {
      flavour_ = Flavour::file;
      gchar* path = location.rfind("file://", 0) == 0
                        ? g_filename_from_uri(location.c_str(), nullptr, nullptr)
                        : g_strdup(location.c_str());
      reason_ = path != nullptr ? unreadableVideo(path) : "";
      g_free(path);
      if (!reason_.empty()) return false;
      if (location.rfind("file://", 0) == 0) {
        uri = location;
      } else {
        gchar* made = gst_filename_to_uri(location.c_str(), nullptr);
        if (made == nullptr) {
          reason_ = "not a file name";
          return false;
        }
        uri = made;
        g_free(made);
      }
    }
    // Only what may reach a server over TLS reads the certificates, so that a stale variable
    // says nothing while a file plays; a playlist file may name its fragments by https URLs.
    const std::string extension = extensionOf(location);
    if (flavour_ != Flavour::file || extension == "m3u8" || extension == "mpd") {
      trustCertificatesFromEnvironment();
    }
    GError* error = nullptr;
    GstElement* pipeline =
        gst_parse_launch_full(description.c_str(), nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &error);
    const ErrorPtr parseError(error);
    if (pipeline != nullptr) pipeline_.reset(GST_ELEMENT(gst_object_ref_sink(pipeline)));
    if (parseError != nullptr || pipeline_ == nullptr) {
      reason_ = parseError != nullptr ? oneLine(parseError->message) : "it cannot be built";
      return false;
    }
    if (!findSink()) {
      reason_ = "it has no appsink";
      return false;
    }
    if (choice_.joined.how != Joining::none) {
      setUpJoined();
    } else if (flavour_ != Flavour::pipeline && !setUpSource(uri)) {
      reason_ = "not tcp://host:port with a port from 1 to 65535";
      return false;
    }
    if (flavour_ != Flavour::pipeline || ownSink_) {
      // The newest frame only. Files play on the pipeline's clock, so that variable frame
      // rates come out right; streams are shown as they come. A pipeline starts on the clock
      // until its latency says whether it is live.
      g_object_set(sink_.get(), "drop", TRUE, "max-buffers", 1u, "sync",
                   flavour_ != Flavour::stream || paced_, nullptr);
      const CapsPtr caps(gst_caps_from_string(!ownSink_      ? kDecodedCaps
                                              : wantsPlanes_ ? kPlanesCaps
                                                             : kConvertedCaps));
      g_object_set(sink_.get(), "caps", caps.get(), nullptr);
      if (wantsPlanes_) shareDecodedPictures(sink_.get());
    }
    return true;
  }

  bool findSink() {
    GstElement* named = gst_bin_get_by_name(GST_BIN(pipeline_.get()), "lumivane_sink");
    if (named != nullptr) {
      sink_.reset(named);
      return true;
    }
    if (GST_IS_APP_SINK(pipeline_.get())) {
      sink_.reset(GST_ELEMENT(gst_object_ref(pipeline_.get())));
      return true;
    }
    if (!GST_IS_BIN(pipeline_.get())) return false;
    GstIterator* sinks = gst_bin_iterate_sinks(GST_BIN(pipeline_.get()));
    GValue item = G_VALUE_INIT;
    while (sink_ == nullptr && gst_iterator_next(sinks, &item) == GST_ITERATOR_OK) {
      GstElement* sink = GST_ELEMENT(g_value_get_object(&item));
      if (GST_IS_APP_SINK(sink)) sink_.reset(GST_ELEMENT(gst_object_ref(sink)));
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(sinks);
    return sink_ != nullptr;
  }

  bool setUpSource(const std::string& uri) {
    const CapsPtr decoded(gst_caps_from_string((std::string(kDecodedCaps) + kOtherCaps).c_str()));
    const ElementPtr source(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "lumivane_source"));
    g_object_set(source.get(), "caps", decoded.get(), nullptr);
    g_signal_connect(source.get(), "pad-added", G_CALLBACK(sinkOtherStreams), nullptr);
    if (flavour_ == Flavour::file) {
      g_signal_connect(source.get(), "no-more-pads", G_CALLBACK(lookForPicture), nullptr);
    }
    const ElementPtr tcp(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "lumivane_tcp"));
    if (tcp != nullptr) {
      // tcp://host:port
      const std::string rest = uri.substr(6);
      const size_t colon = rest.rfind(':');
      std::string host = rest.substr(0, colon);
      if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);  // [::1]
      }
      char* end = nullptr;
      const long port =
          colon == std::string::npos ? 0 : std::strtol(rest.c_str() + colon + 1, &end, 10);
      // The element would keep its default port for one it refuses, and say so nowhere.
      if (port < 1 || port > 65535 || *end != '\0' || host.empty()) return false;
      g_object_set(tcp.get(), "host", host.c_str(), "port", static_cast<int>(port), nullptr);
    } else {
      g_object_set(source.get(), "uri", uri.c_str(), nullptr);
    }
    prepareDecodingUp(pipeline_.get());
    if (flavour_ == Flavour::stream && paced_) prepareLiveEdge(pipeline_.get(), sink_.get());
    if (flavour_ == Flavour::stream && !paced_) {
      g_signal_connect(pipeline_.get(), "deep-element-added", G_CALLBACK(setUpLiveElement),
                       nullptr);
    } else {
      g_signal_connect(pipeline_.get(), "deep-element-added", G_CALLBACK(setUpPacedElement),
                       nullptr);
    }
    return true;
  }

  // The files of a camera's recording named on their sources.
  void setUpJoined() {
    const Joined& joined = choice_.joined;
    const std::string files[] = {joined.left.empty() ? joined.right : joined.left, joined.right};
    for (int i = 0; i < 2; ++i) {
      const std::string name = "lumivane_file" + std::to_string(i);
      const ElementPtr file(gst_bin_get_by_name(GST_BIN(pipeline_.get()), name.c_str()));
      if (file != nullptr) g_object_set(file.get(), "location", files[i].c_str(), nullptr);
      const std::string setter = "lumivane_colour" + std::to_string(i);
      const ElementPtr colour(gst_bin_get_by_name(GST_BIN(pipeline_.get()), setter.c_str()));
      if (colour != nullptr && !joined.colours.empty()) {
        const CapsPtr caps(
            gst_caps_from_string(("video/x-raw, colorimetry=(string)" + joined.colours).c_str()));
        g_object_set(colour.get(), "caps", caps.get(), nullptr);
      }
    }
    prepareDecodingUp(pipeline_.get());
    g_signal_connect(pipeline_.get(), "deep-element-added", G_CALLBACK(setUpPacedElement), nullptr);
    keepJoinedOnClock(pipeline_.get(), joined.keys);
  }

  // A failure that waits for our own look at the server, which says what GStreamer could not.
  ReadResult awaitReach() {
    std::string fault;
    if (!reach_->done(&fault)) return ReadResult::nothingNew;
    reach_.reset();
    if (!fault.empty()) {
      reason_ = fault;
    } else if (timedOut_) {
      reason_ = endpointText(endpoint_) + " does not answer";
    }
    return ReadResult::failed;
  }

  // An error of a source reached over TCP that gives no reason of the server's own: the server
  // is looked at before the failure is said. One that took the sources' whole timeout to come
  // was a server that accepted and said nothing.
  bool checksReach(const GError* error, const char* debug) {
    if (!hasEndpoint_ || serverRefusal(error) != nullptr) return false;
    const std::string details = std::string(error->message) + (debug != nullptr ? debug : "");
    timedOut_ = details.find("imeout") != std::string::npos ||
                details.find("timed out") != std::string::npos ||
                g_get_monotonic_time() - builtUs_ >= gint64{kServerSilenceS} * 1000000;
    reach_ = std::make_unique<ReachCheck>(endpoint_);
    return true;
  }

  // What the bus has to say, without waiting: an error or the end; a warning is said once.
  ReadResult readBus() {
    if (reach_ != nullptr) return awaitReach();
    const auto types =
        static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING | GST_MESSAGE_EOS |
                                    GST_MESSAGE_STATE_CHANGED | GST_MESSAGE_APPLICATION);
    while (GstMessage* popped = gst_bus_pop_filtered(bus_.get(), types)) {
      const MessagePtr message(popped);
      switch (GST_MESSAGE_TYPE(popped)) {
        case GST_MESSAGE_ERROR: {
          GError* error = nullptr;
          gchar* debug = nullptr;
          gst_message_parse_error(popped, &error, &debug);
          reason_ = errorReason(error, debug);
          const bool checking = checksReach(error, debug);
          g_error_free(error);
          g_free(debug);
          return checking ? awaitReach() : ReadResult::failed;
        }
        case GST_MESSAGE_WARNING: {
          GError* error = nullptr;
          gchar* debug = nullptr;
          gst_message_parse_warning(popped, &error, &debug);
          // srtsrc only warns that it calls again, at once and for ever: its fault is ours.
          reason_ = srtFault(choice_.location, error->message);
          if (!reason_.empty()) {
            g_error_free(error);
            g_free(debug);
            return ReadResult::failed;
          }
          // An audio stream that nobody decodes is no news for a viewer.
          if (!g_error_matches(error, GST_STREAM_ERROR, GST_STREAM_ERROR_CODEC_NOT_FOUND) &&
              !g_error_matches(error, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN) &&
              // Said again, with its reason, by the error that follows.
              !g_error_matches(error, GST_PARSE_ERROR, GST_PARSE_ERROR_DELAYED_LINK)) {
            // tsdemux's words for packets a network lost: the decoder conceals what it can.
            const bool lost = std::strstr(error->message, "CONTINUITY") != nullptr;
            sayOnce(said_.warning,
                    describeSource(choice_) + ": " +
                        (lost ? "packets were lost on the way; pictures may show damage"
                              : oneLine(error->message)));
          }
          g_error_free(error);
          g_free(debug);
          break;
        }
        case GST_MESSAGE_EOS:
          return atEnd();
        case GST_MESSAGE_STATE_CHANGED:
          if (GST_MESSAGE_SRC(popped) == GST_OBJECT(pipeline_.get())) started(popped);
          break;
        case GST_MESSAGE_APPLICATION:
          // A file cannot change its streams: it is not opened again.
          if (gst_message_has_name(popped, kNoPictureMessage)) {
            reason_ = "no video stream it can decode";
            return ReadResult::ended;
          }
          break;
        default:
          break;
      }
    }
    return ReadResult::nothingNew;
  }

  // A file starts over with a flushing seek, without rebuilding anything; a stream that ends
  // has lost its server, and is retried; a pipeline's end is its end.
  ReadResult atEnd() {
    reason_.clear();  // an end with a reason is one that came before any picture could
    switch (flavour_) {
      case Flavour::file:
        if (gst_element_seek_simple(
                pipeline_.get(), GST_FORMAT_TIME,
                static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0)) {
          return ReadResult::nothingNew;
        }
        reason_ = "it cannot start over";
        return ReadResult::failed;
      case Flavour::stream:
        // A recording served over the network loops as a file does; one that cannot start
        // over has ended, rather than failing and being fetched again at every retry.
        if (paced_) {
          return gst_element_seek_simple(
                     pipeline_.get(), GST_FORMAT_TIME,
                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0)
                     ? ReadResult::nothingNew
                     : ReadResult::ended;
        }
        reason_ = "the stream ended";
        return ReadResult::failed;
      case Flavour::pipeline:
        break;
    }
    return ReadResult::ended;
  }

  // A pipeline given our appsink plays on the clock unless its latency says it is live.
  void started(GstMessage* message) {
    GstState now = GST_STATE_NULL;
    gst_message_parse_state_changed(message, nullptr, &now, nullptr);
    if (now != GST_STATE_PLAYING || !ownSink_ || latencyChecked_) return;
    latencyChecked_ = true;
    GstQuery* query = gst_query_new_latency();
    gboolean live = FALSE;
    if (gst_element_query(pipeline_.get(), query)) {
      gst_query_parse_latency(query, &live, nullptr, nullptr);
    }
    gst_query_unref(query);
    if (live) g_object_set(sink_.get(), "sync", FALSE, nullptr);
  }

  // A camera's recording in the colours its stream states, where GStreamer reads them wrong.
  // True: the info is usable.
  bool keepStatedColours(GstVideoInfo* info) const {
    const std::string& colours = choice_.joined.colours;
    return colours.empty() || !GST_VIDEO_INFO_IS_YUV(info) ||
           gst_video_colorimetry_from_string(&info->colorimetry, colours.c_str());
  }

  // A slow source's frame period, as its caps state it, for stallLimitMs.
  void notePeriod(const GstStructure* structure) {
    int rateN = 0, rateD = 0;
    if (gst_structure_get_fraction(structure, "framerate", &rateN, &rateD) && rateN > 0 &&
        rateD > 0) {
      framePeriodMs_ = static_cast<std::uint32_t>(std::min(1000.0 * rateD / rateN, 1e6));
    }
  }

  // The sample in its own layout, for a viewer that takes planes: a JPEG picture decoded to its
  // YUV planes, a layout the shader reads kept mapped as it came, any other YUV converted to
  // I420 first. False leaves it to toFrame (`sample` untouched): a picture or frame larger than
  // a texture, or one that is not video.
  bool toPlanes(SamplePtr& sample) {
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (caps == nullptr || buffer == nullptr || gst_caps_get_size(caps) == 0) return false;
    const char* type = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    notePeriod(gst_caps_get_structure(caps, 0));
    if (std::strcmp(type, "image/jpeg") == 0) {
      const BufferMap map(buffer);
      if (!map.mapped) return false;
      const bool shown = decodeShownPlanes(map.info.data, map.info.size, choice_, said_, storage_,
                                           planes_, frame_, &planar_);
      frameOrder_ = ChannelOrder::bgr;
      // Either way the picture is taken: as planes, or as blue-green-red in frame_.
      if (shown) sample.reset();
      return shown;
    }
    GstVideoInfo info;
    if (std::strcmp(type, "video/x-raw") != 0 || !gst_video_info_from_caps(&info, caps) ||
        !keepStatedColours(&info) || static_cast<int>(info.width) > textureSideLimit() ||
        static_cast<int>(info.height) > textureSideLimit() || info.width < 2 || info.height < 2) {
      return false;
    }
    PixelLayout layout;
    Planes planes;
    readColours(info, &planes);
    if (pixelLayoutOf(GST_VIDEO_INFO_FORMAT(&info), &layout)) {
      auto mapped = std::make_shared<MappedSample>(std::move(sample), &info);
      if (!mapped->mapped) return false;
      planes.layout = layout;
      for (int plane = 0; plane < planeCount(layout); ++plane) {
        planes.data[plane] =
            static_cast<const unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped->frame, plane));
        planes.stride[plane] = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, plane);
      }
      planes.owner = mapped;
    } else if (GST_VIDEO_INFO_IS_YUV(&info)) {
      if (!toI420(buffer, info, &planes)) return false;
    } else {
      return false;
    }
    planes.width = static_cast<int>(info.width);
    planes.height = static_cast<int>(info.height);
    planes_ = std::move(planes);
    planar_ = true;
    return true;
  }

  // Any other YUV layout (10-bit, 4:1:0, ...) converted by GStreamer to I420 in our own buffer,
  // its colours kept.
  bool toI420(GstBuffer* buffer, const GstVideoInfo& info, Planes* planes) {
    const FrameMap mapped(&info, buffer, GST_MAP_READ);
    if (!mapped.mapped) return false;
    GstVideoInfo out;
    gst_video_info_set_format(&out, GST_VIDEO_FORMAT_I420, info.width, info.height);
    out.colorimetry = info.colorimetry;
    out.chroma_site = info.chroma_site;
    out.fps_n = info.fps_n;
    out.fps_d = info.fps_d;
    out.par_n = info.par_n;
    out.par_d = info.par_d;
    out.interlace_mode = info.interlace_mode;
    storage_.create(1, static_cast<int>(out.size), CV_8UC1);
    if (converter_ == nullptr || !gst_video_info_is_equal(&convertedFrom_, &info)) {
      const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
      GstStructure* config = gst_structure_new("config", GST_VIDEO_CONVERTER_OPT_THREADS,
                                               G_TYPE_UINT, threads, nullptr);
      converter_.reset(gst_video_converter_new(const_cast<GstVideoInfo*>(&info), &out, config));
      convertedFrom_ = info;
    }
    if (converter_ == nullptr) return false;
    GstBuffer* wrapped = gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), storage_.data,
                                                     out.size, 0, out.size, nullptr, nullptr);
    bool done = false;
    {
      FrameMap target(&out, wrapped, GST_MAP_WRITE);
      if (target.mapped) {
        gst_video_converter_frame(converter_.get(), &mapped.frame, &target.frame);
        for (int plane = 0; plane < 3; ++plane) {
          planes->data[plane] = storage_.data + out.offset[plane];
          planes->stride[plane] = out.stride[plane];
        }
      }
      done = target.mapped;
    }
    gst_buffer_unref(wrapped);
    planes->layout = PixelLayout::i420;
    planes->owner = std::make_shared<cv::Mat>(storage_);
    return done;
  }

  // The sample as a cv::Mat: a JPEG picture decoded, raw layouts a cv::Mat holds copied with
  // their strides, and any other layout converted to the red-green-blue image of the upload.
  bool toFrame(GstSample* sample) {
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (caps == nullptr || buffer == nullptr || gst_caps_get_size(caps) == 0) return false;
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    const char* type = gst_structure_get_name(structure);
    notePeriod(structure);
    frameOrder_ = ChannelOrder::bgr;
    if (std::strcmp(type, "image/jpeg") == 0) {
      const BufferMap map(buffer);
      return map.mapped && decodeShown(map.info.data, map.info.size, choice_, said_, frame_);
    }
    GstVideoInfo info;
    if (std::strcmp(type, "video/x-raw") != 0 || !gst_video_info_from_caps(&info, caps) ||
        !keepStatedColours(&info)) {
      sayOnce(said_.format, describeSource(choice_) + " delivers " + type + ", not video");
      return false;
    }
    const FrameMap mapped(&info, buffer, GST_MAP_READ);
    if (!mapped.mapped) return false;
    const GstVideoFrame& video = mapped.frame;
    const int width = GST_VIDEO_FRAME_WIDTH(&video), height = GST_VIDEO_FRAME_HEIGHT(&video);
    int matType = -1;
    switch (GST_VIDEO_FRAME_FORMAT(&video)) {
      case GST_VIDEO_FORMAT_BGR:
        matType = CV_8UC3;
        break;
      case GST_VIDEO_FORMAT_BGRA:
      case GST_VIDEO_FORMAT_BGRx:
        matType = CV_8UC4;
        break;
      case GST_VIDEO_FORMAT_GRAY8:
        matType = CV_8UC1;
        break;
      case GST_VIDEO_FORMAT_GRAY16_LE:
        matType = CV_16UC1;
        break;
      default:
        break;
    }
    bool ok = width > 0 && height > 0;
    if (ok && matType >= 0) {
      cv::Mat(height, width, matType, GST_VIDEO_FRAME_PLANE_DATA(&video, 0),
              static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&video, 0)))
          .copyTo(frame_);
    } else if (ok) {
      ok = convert(video);
    }
    return ok;
  }

  // Any other layout (I420, NV12, RGBA, ...) in one step into the fresh red-green-blue image
  // with padded rows that the upload takes as it is: only the frame shown is converted, once.
  bool convert(const GstVideoFrame& video) {
    const int width = GST_VIDEO_FRAME_WIDTH(&video), height = GST_VIDEO_FRAME_HEIGHT(&video);
    // The last frame goes first, so that two full-size images are never held at once.
    frame_.release();
    frame_ = paddedRgbImage(cv::Size(width, height));
    frameOrder_ = ChannelOrder::rgb;
    GstVideoInfo out;
    gst_video_info_set_format(&out, GST_VIDEO_FORMAT_RGB, static_cast<guint>(width),
                              static_cast<guint>(height));
    // The converter takes only a change of layout and size, nothing else.
    out.fps_n = video.info.fps_n;
    out.fps_d = video.info.fps_d;
    out.par_n = video.info.par_n;
    out.par_d = video.info.par_d;
    out.interlace_mode = video.info.interlace_mode;
    out.stride[0] = static_cast<gint>(frame_.step);
    out.size = frame_.step * static_cast<size_t>(height);
    if (converter_ == nullptr || !gst_video_info_is_equal(&convertedFrom_, &video.info)) {
      const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
      GstStructure* config =
          gst_structure_new("config", GST_VIDEO_CONVERTER_OPT_THREADS, G_TYPE_UINT, threads,
                            GST_VIDEO_CONVERTER_OPT_DITHER_METHOD, GST_TYPE_VIDEO_DITHER_METHOD,
                            GST_VIDEO_DITHER_NONE, nullptr);
      converter_.reset(
          gst_video_converter_new(const_cast<GstVideoInfo*>(&video.info), &out, config));
      convertedFrom_ = video.info;
    }
    if (converter_ == nullptr) return false;
    GstBuffer* wrapped = gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), frame_.data,
                                                     out.size, 0, out.size, nullptr, nullptr);
    bool done = false;
    {
      FrameMap target(&out, wrapped, GST_MAP_WRITE);
      if (target.mapped) gst_video_converter_frame(converter_.get(), &video, &target.frame);
      done = target.mapped;
    }
    gst_buffer_unref(wrapped);
    return done;
  }

  SourceChoice choice_;
  SaidOnce& said_;
  bool wantsPlanes_ = false;  // frames go to the screen in their own layout where they can
  Wake* wake_ = nullptr;      // owned by the appsink's callbacks
  cv::Mat storage_;           // planes of our own: a JPEG's, or a conversion's
  Flavour flavour_ = Flavour::file;
  bool ownSink_ = false;  // a pipeline that we gave its appsink
  bool paced_ = false;    // a recording served over the network, played at its own pace
  bool latencyChecked_ = false;
  std::uint32_t framePeriodMs_ = 0;  // milliseconds, from the caps' frame rate when they say
  ElementPtr pipeline_;
  ElementPtr sink_;
  BusPtr bus_;
  ConverterPtr converter_;
  GstVideoInfo convertedFrom_{};
  // A stream reached over TCP: where its server is, and our look at it after a failure.
  bool hasEndpoint_ = false;
  Endpoint endpoint_;
  gint64 builtUs_ = 0;  // microseconds, GLib's monotonic clock, when the pipeline was built
  bool timedOut_ = false;
  std::unique_ptr<ReachCheck> reach_;
};

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
  return endsInAppSink ? trimmed : trimmed + " ! videoconvert ! appsink name=lumivane_sink";
}

std::unique_ptr<Reader> makeGstReader(const SourceChoice& choice, SaidOnce& said, bool planes) {
  return std::make_unique<GstReader>(choice, said, planes);
}
