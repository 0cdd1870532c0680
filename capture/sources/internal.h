// Shared between the capture room's files, and nowhere else: the readers of each kind of
// source, and what they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/sources/sources.h"

// OpenCV's image codecs and camera capture, in a module loaded on first use (unless `load` is
// false): null when it is not loaded, and then openCvModuleProblem() says why, as the reason of
// a line, if loading failed. It sets the environment: load it only while no library thread runs.
struct OpenCvModule {
  bool (*readsPicture)(const char* path);
  DecodeResult (*decode)(const unsigned char* data, std::size_t size, cv::Mat* bgr);
  // A camera through OpenCV's V4L2 back end, asked for `want` with frames as the driver gives
  // them (`raw`) or converted to blue-green-red; `got` receives what it took. Null on failure.
  void* (*openCamera)(const char* path, const CameraMode* want, bool raw, CameraMode* got);
  // Takes every frame the driver has ready, oldest first, and leaves the newest in `frame`:
  // 1 when there was one, 0 when none, -1 when the camera failed (unplugged). Waits at most
  // `waitMs` milliseconds for the first (1 ms when 0).
  int (*newestCameraFrame)(void* camera, cv::Mat* frame, int waitMs);
  void (*closeCamera)(void* camera);
};
const OpenCvModule* openCvModule(bool load = true);
const std::string& openCvModuleProblem();

// Whether the file at `path` holds a picture rather than a video, told by its first bytes
// (and, for formats only OpenCV reads, by OpenCV).
bool isPictureFile(const std::string& path);

// --- Insta360 trailers (insv_trailer.cpp), read only to recognise such a file ---
// What the end of a file says about an Insta360 trailer.
enum class InsvTrailer { absent, valid, damaged };
// The most of a file's end readInsvTrailer reads; a larger trailer counts as damaged.
constexpr std::uint64_t kInsvTrailerMaxBytes = std::uint64_t{16} << 20;
// Checks the trailer in `tail`, the last `size` bytes of a file of `fileSize` bytes: the 72-byte
// end (32 reserved bytes, u32 LE trailer size, u32 LE version, 32 ASCII bytes of magic), then the
// records walked back from it, each a payload and a 6-byte footer (u8 format, u8 id, u32 LE size).
// absent: no magic. valid: the trailer lies within `tail` and the file, and its records, each of
// a known format (0 binary, 1 protobuf, 2 JSON), fill it exactly. damaged: the magic with
// anything else wrong. Never reads outside `tail`.
InsvTrailer checkInsvTrailer(const unsigned char* tail, std::size_t size, std::uint64_t fileSize);
// The same for the file at `path`, reading at most its last kInsvTrailerMaxBytes and never
// waiting on a FIFO; a file that cannot be read has no trailer (absent).
InsvTrailer readInsvTrailer(const std::string& path);

// The headers of the regular file at `path`, opened quietly through libavformat (a name that
// holds "://" stays a file name); null where it cannot be.
typedef struct AVFormatContext AVFormatContext;
struct FormatClose {
  void operator()(AVFormatContext* context) const;
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatClose>;
FormatPtr openFileHeaders(const std::string& path);

// A 360 camera's recording, told from an opened file's picture tracks, its name and its
// trailer: false for any other file. Sets the camera's layout and how its pictures join, and
// puts what could not be joined as the camera meant into `notes`.
bool recogniseRecording(AVFormatContext* context, const std::string& path, Layout* layout,
                        Joined* joined, std::vector<std::string>* notes);

// The readers. `said` belongs to the source and outlives them, so that an incident is said
// once per source, not once per retry.
// Those made for `planes` hand frames over in their own layout where they can.
std::unique_ptr<Reader> makeCameraReader(const SourceChoice& choice, SaidOnce& said, bool planes);
std::unique_ptr<Reader> makeStillReader(const SourceChoice& choice, SaidOnce& said);
std::unique_ptr<Reader> makeGstReader(const SourceChoice& choice, SaidOnce& said, bool planes);

// For a live stream's MPEG-TS demuxer, as it is added: its H.264 and H.265 pictures go to the
// decoder as soon as it has them whole, where the stream shows where they end.
typedef struct _GstElement GstElement;
void handOnWholePictures(GstElement* demuxer);

// For our appsink of a viewer that takes frames in their own layout: a decoder before it
// decodes into buffers that the appsink hands on as they are, without a copy of each picture.
void shareDecodedPictures(GstElement* sink);

// For each element added to a pipeline prepared with prepareDecodingUp (before it starts):
// H.264 and H.265 decoders get the threads that suit the stream's slices, which its parser
// counts, and more once decoding falls behind. Those of a `live` stream also drop the pictures
// up to the next key frame when decoding falls too far behind; decodingFellBehind() says
// whether that has happened again and again, decodingIsDropping() whether it is happening.
typedef struct _GstBin GstBin;
void prepareDecodingUp(GstElement* pipeline);
void keepDecodingUp(GstBin* pipeline, GstElement* element, bool live);
bool decodingIsDropping(GstElement* pipeline);
bool decodingFellBehind(GstElement* pipeline);

// For a joined recording's pipeline, before it starts (its branches' queues named
// lumivane_queue0 and 1, its compositor lumivane_join): pictures that fall behind the clock make
// every branch drop the same stretch, before its decoder, up to a time in `keys` (seconds) at
// which each has a key frame, so that whole pictures go and the halves stay from one instant.
void keepJoinedOnClock(GstElement* pipeline, const std::vector<double>& keys);

// For a network recording's pipeline, prepared with prepareLiveEdge (before it starts) with the
// sink that shows it on the clock: if it turns out to be a live playlist (one with no duration),
// its pictures are shown near the live edge at their own pace. followLiveEdge is told of each
// element added.
void prepareLiveEdge(GstElement* pipeline, GstElement* sink);
void followLiveEdge(GstBin* pipeline, GstElement* element);
// Brings the offset down towards the live edge, by a third of the time since it last moved: call
// at each read, from the viewer's thread.
void settleLiveEdge(GstElement* pipeline);
// True while a live playlist's first fragments come, before the first wait for the next one:
// their pictures are not shown.
bool liveEdgeAhead(GstElement* pipeline);

// Decodes one compressed picture (an MJPEG frame, a still) into `frame`, saying damage once.
// False when there is nothing to show. A refused size or an undecodable picture is said once,
// or, given `failure` (a still, whose open fails), put there for the line that says so.
// A camera's damaged picture (a glitch on its cable) is skipped rather than shown in part.
bool decodeShown(const unsigned char* data, std::size_t size, const SourceChoice& choice,
                 SaidOnce& said, cv::Mat& frame, std::string* failure = nullptr,
                 bool showDamaged = true);

// Decodes a JPEG straight into its YUV planes, as it was coded (4:2:0, 4:2:2, 4:4:4, grey),
// into `storage` (reused while the size stays), and sets `laidOut`. A picture in another layout
// (CMYK, 4:4:0, turned by its EXIF), larger than a texture, or not a JPEG leaves `laidOut`
// false: decode it to blue-green-red instead.
DecodeResult decodeJpegPlanes(const unsigned char* data, std::size_t size, cv::Mat& storage,
                              Planes* planes, bool* laidOut);

// As decodeShown, for a reader made for planes: a JPEG in a layout of YUV planes goes into
// `planes` (its bytes in `storage`) and `planar` is set; any other picture is decoded to
// blue-green-red into `frame`, as decodeShown does.
bool decodeShownPlanes(const unsigned char* data, std::size_t size, const SourceChoice& choice,
                       SaidOnce& said, cv::Mat& storage, Planes& planes, cv::Mat& frame,
                       bool* planar, bool showDamaged = true);

// One line on stderr once per source for an incident, `said` remembering it.
void sayOnce(bool& said, const std::string& message);

// --- Network streams (network.cpp) ---
struct Endpoint {
  std::string host;  // a name or an address, without brackets
  int port = 0;
  bool tls = false;  // reached over TLS (rtsps, rtmps, https)
};

// Trusts the certificates that SSL_CERT_FILE names instead of the system's, for every TLS
// connection GStreamer and we make; once per process, said once when the file cannot be used.
void trustCertificatesFromEnvironment();

// The host and port of a URL reached over TCP (rtsp, rtspt, rtsps, rtmp, rtmps, http, https,
// tcp), the scheme's own port where it names none. False for any other URL.
bool tcpEndpoint(const std::string& url, Endpoint* endpoint);
// "host:port", an IPv6 address in brackets.
std::string endpointText(const Endpoint& endpoint);

// The URL as GStreamer's elements take it: udp://@:PORT and udp://@GROUP:PORT, as other
// players' users write them, become udp://0.0.0.0:PORT and udp://GROUP:PORT.
std::string gstreamerUrl(const std::string& url);

// Why a server cannot be reached, found by looking it up and connecting to it on GLib's worker
// threads. Nothing waits: done() only collects what is ready.
class ReachCheck {
 public:
  explicit ReachCheck(const Endpoint& endpoint);
  ~ReachCheck();
  ReachCheck(const ReachCheck&) = delete;
  ReachCheck& operator=(const ReachCheck&) = delete;
  // True once the outcome is known, within about 2 s; `fault` then holds the one-line reason
  // ("no such host NAME", "connection refused at HOST:PORT (no server there)", "HOST:PORT does
  // not answer", a TLS certificate not trusted, ...), or "" when the port took the connection
  // (and, over TLS, the handshake).
  bool done(std::string* fault);
  struct State;

 private:
  State* state_;
};

// The fault that an SRT caller's warning stands for, in our words ("no SRT listener answered at
// HOST:PORT in 3 s", a refused passphrase), or "" when `url` is no SRT caller's.
std::string srtFault(const std::string& url, const std::string& warning);

// What is wrong with the port of a UDP or SRT URL, which both need one from 1 to 65535, or ""
// when nothing is, or `url` is neither's.
std::string portFault(const std::string& url);

// What is wrong with an SRT URL's own settings (a passphrase SRT refuses to use, a mode or a
// latency it does not know), or "" when nothing is, or `url` is not SRT's.
std::string srtSettingsFault(const std::string& url);
