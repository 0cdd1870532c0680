// Where frames come from: cameras, still pictures, and files, network streams and pipelines
// read through GStreamer, each kind behind one Reader; the choice of source and the text that
// names it in messages; the decoding of single pictures.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "capture/frame/frame.h"
#include "capture/layouts/layouts.h"

enum class SourceKind { camera, videoFile, stillImage, stream, pipeline };

// --- Cameras ---------------------------------------------------------------------------------
// One mode a camera offers: a pixel format (its V4L2 FOURCC), a frame size and a rate.
struct CameraMode {
  std::uint32_t fourcc = 0;
  int width = 0, height = 0;  // pixels
  double fps = 0.0;           // frames a second
};

// What the command line asks of a camera; what is left out is chosen as the best it offers.
struct CameraRequest {
  std::optional<std::uint32_t> fourcc;  // --camera-format
  std::optional<cv::Size> size;         // --camera-size
  std::optional<double> fps;            // --camera-fps
};

// The mode to open among all that a camera offers (any order): by default its largest frame
// size at 15 fps or more (its largest at any rate if none reaches 15), at the highest rate for
// that size, raw where a raw format gives that size and rate, else compressed. What is asked for
// and not offered is replaced by the nearest offered and named in `missing` ("H264, 4000x2000").
// Nothing when no format it offers can be read.
std::optional<CameraMode> chooseCameraMode(const std::vector<CameraMode>& offered,
                                           const CameraRequest& request, std::string* missing);

// "MJPG 3840x1920 at 30 fps", for messages.
std::string describeMode(const CameraMode& mode);
// The FOURCC of a format as people name it (mjpeg, yuyv, h264) or as its four characters; 0 for
// text that is neither.
std::uint32_t fourccFromName(const std::string& name);
std::string fourccText(std::uint32_t fourcc);

// True for a path to a camera's device node: a character device, however it is reached
// (/dev/v4l/by-id/... names link to one), or a name under /dev/video or /dev/v4l/ that is not
// there now (a camera unplugged).
bool isCameraPath(const std::string& path);

// What --list-cameras prints: each V4L2 capture device, its name, formats, sizes and rates.
std::string listCameras();

// How a 360 camera's recording makes one frame of two pictures, taken in step from one
// pipeline.
enum class Joining {
  none,        // the first picture track, as it is
  stacked,     // a file's first two picture tracks, the first over the second (GoPro MAX)
  sideBySide,  // a file's first two picture tracks, the first on the left (Insta360)
  twoFiles,    // the picture tracks of `left` and `right`, side by side (an Insta360 pair)
  oneOfTwo,    // one lens of a pair whose partner cannot be shown: on its side, the other black
};
struct Joined {
  Joining how = Joining::none;
  // The files on the left and right; one file of two pictures is `left`, and one lens of a pair
  // is on its own side, "" the other.
  std::string left, right;
  int width = 0, height = 0;  // each picture, pixels
  // The pictures' colours as GStreamer names them ("1:3:5:1"), over what GStreamer read of the
  // stream: the camera's own, or what the stream itself states; "" to keep GStreamer's.
  std::string colours;
  // Seconds from the start at which every picture joined has a key frame: where a recording
  // that falls behind its clock skips ahead to, all its pictures together.
  std::vector<double> keys;
};

struct SourceChoice {
  SourceKind kind = SourceKind::camera;
  int cameraIndex = 0;   // for a camera given by number
  std::string location;  // file path or stream URL; for a camera, its device path if given one
  LayoutOptions layout;  // the frames' layout as the command line gives it
  CameraRequest camera;  // for a camera: the mode asked for
  Joined joined;         // a camera's recording of two pictures, as its file was recognised
};

// What one read of a source gives.
enum class ReadResult { frame, nothingNew, failed, ended };

// Incidents said once per source, however often it is opened again, so that a damaged stream
// does not flood the terminal.
struct SaidOnce {
  bool damaged = false;
  bool tooLarge = false;
  bool warning = false;
  bool format = false;
  bool failure = false;
  bool mode = false;    // a camera's mode is not the one asked for
  bool behind = false;  // a stream's decoding fell behind and dropped pictures
};

// One kind of source: a camera, a still picture, or anything GStreamer reads. open() and read()
// never wait for the source: opening carries on in the background where it takes time.
class Reader {
 public:
  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  virtual ~Reader() = default;
  // Starts opening. False when it cannot even start; reason() says why.
  virtual bool open() = 0;
  // Takes the newest frame if one is ready; after `frame`, frame() holds it until the next read.
  virtual ReadResult read(std::uint32_t now) = 0;
  // A source that has delivered and then sends nothing for this long has stopped (0: never).
  virtual std::uint32_t stallLimitMs() const = 0;
  const cv::Mat& frame() const { return frame_; }
  ChannelOrder frameOrder() const { return frameOrder_; }
  // After `frame`, true when the reader handed the frame over in its own layout (planes())
  // rather than as frame(): only a reader made for planes does, and only for layouts it can.
  bool planar() const { return planar_; }
  const Planes& planes() const { return planes_; }
  // Descriptors that turn readable when this source may have news (a frame, an error), for a
  // viewer that sleeps between frames: up to two, written to `fds`; their number.
  virtual int wakeDescriptors(int fds[2]) const {
    (void)fds;
    return 0;
  }
  // For a source without such descriptors whose library can wait for its frames (a camera):
  // waits up to `ms` milliseconds for a frame, which the next read() then takes; true if one came.
  virtual bool canAwaitFrames() const { return false; }
  virtual bool awaitFrame(int ms) {
    (void)ms;
    return false;
  }
  // Why the last open or read failed, in a few words; may be empty.
  const std::string& reason() const { return reason_; }

 protected:
  cv::Mat frame_;
  ChannelOrder frameOrder_ = ChannelOrder::bgr;
  bool planar_ = false;
  Planes planes_;
  std::string reason_;
};

// True for text that is a GStreamer pipeline: it contains the link mark " ! ".
bool isPipeline(const std::string& text);

// The pipeline with an appsink at its end: "! videoconvert ! appsink" is added unless it ends in
// one already.
std::string completePipeline(const std::string& text);

// "camera 2", "file clip.avi", "stream rtsp://host/x", for messages.
std::string describeSource(const SourceChoice& choice);

// `text` with its control bytes written as \n, \t or \xNN, so that a message stays one line.
std::string printableText(const std::string& text);

// `text` (a URL, a pipeline, a library's message) without the secrets it may carry, for every
// line the viewer writes: the password of each URL's user part (rtsp://user@host/...), and the
// value of each name=value whose name holds pass, pwd, pw, token, key, secret, auth or sig
// (SRT's passphrase, a signed URL's sig, rtspsrc's user-pw), written as ***.
std::string withoutSecrets(const std::string& text);

// What the file at `path` says about its layout, from its headers alone: spherical video side
// data, or a picture's GPano XMP (`described` false when nothing). A problem with its metadata
// goes into `problem`, and the layout is then the default.
// A 360 camera's recording is recognised by its tracks, name and trailer: its layout comes from
// the camera, how its pictures join into one frame goes into `joined` when given, and what
// could not be joined as the camera meant goes into `notes`, a line each.
Layout readFileLayout(const std::string& path, std::string* problem, Joined* joined = nullptr,
                      std::vector<std::string>* notes = nullptr);

// Why the video file at `path` is not opened, or empty: the reader of its container is known to
// crash on what it holds (raw pictures in NUT).
std::string unreadableVideo(const std::string& path);

// The outcome of decoding one compressed picture.
enum class DecodeResult {
  ok,
  damaged,   // decoded as far as the data went; the rest of the picture is grey
  tooLarge,  // the header declares more than kMaxPicturePixels; nothing was decoded
  failed,    // not a picture that can be read
};

// Decodes a JPEG, PNG or other picture into `bgr` (reusing its memory where the size allows),
// checking the declared size before anything is allocated. `width` and `height` receive the
// declared size when the header could be read. Writes nothing to the terminal.
DecodeResult decodePicture(const unsigned char* data, std::size_t size, cv::Mat& bgr, int* width,
                           int* height);
