// Camera streaming: where frames come from (camera, video file, still picture, network stream,
// pipeline), the states of a source, and the upload of its frames into the sphere's texture.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

// Frames are uploaded at most this often.
constexpr std::uint32_t kUploadIntervalMs = 60;
// A source that is missing or has stopped delivering is opened again this often.
constexpr std::uint32_t kRetryIntervalMs = 2000;
// The largest picture the viewer decodes, in pixels: 16384 by 8192, above the largest
// spherical stills. A header that declares more is refused before anything is allocated.
constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 27;

enum class SourceKind { camera, videoFile, stillImage, stream, pipeline };

// Each lens's field of view of a dual-fisheye camera when none is given, in degrees.
constexpr double kDefaultFisheyeFovDeg = 190.0;

struct SourceChoice {
  SourceKind kind = SourceKind::camera;
  int cameraIndex = 0;          // for a camera
  std::string location;         // file path or stream URL for the others
  double dualFisheyeFov = 0.0;  // degrees across each lens; 0 for equirectangular frames
};

// Where a source stands. Exactly one holds at a time; every change goes through transition().
enum class SourceState {
  closed,      // nothing opened yet, or released
  connecting,  // opening, no frame yet: the test card is up
  live,        // delivering frames
  returning,   // delivering again after it was reported down; said once it has kept it up
  missing,     // has not delivered since it was reported: the test card is up
  stale,       // stopped delivering: its last picture is up, dimmed
  ended,       // a finite source came to its end: its last picture stays, nothing is retried
};

// What happens to a source, as the idle handler sees it.
enum class SourceEvent {
  opened,      // an open was started
  openFailed,  // an open could not even be started
  frame,       // a new frame arrived
  steady,      // it has delivered for kSteadyMs since it came back
  failed,      // an error: the source cannot be opened, or has broken off
  silent,      // no frame for too long
  ended,       // the end of a source that does not loop
};

// The one line a transition says, if any.
enum class Report { none, cannotOpen, noFrames, stopped, delivering, ended };

struct Transition {
  SourceState state;
  Report say;
};

// The state machine as one table: where `event` takes `state`, and what to say about it. A
// source that flaps is reported down once; its return only after it kept delivering.
Transition transition(SourceState state, SourceEvent event);

// Waits for a first frame this long before saying that a source delivers none: a stream joined
// in the middle of a long group of pictures shows nothing until its next key frame.
constexpr std::uint32_t kFirstFrameTimeoutMs = 10000;
// A source that came back is said to deliver again after this long without failing.
constexpr std::uint32_t kSteadyMs = 3000;

// What one read of a source gives.
enum class ReadResult { frame, nothingNew, failed, ended };

// Incidents said once per source, however often it is opened again, so that a damaged stream
// does not flood the terminal.
struct SaidOnce {
  bool damaged = false;
  bool tooLarge = false;
  bool warning = false;
  bool shape = false;
  bool format = false;
  bool failure = false;
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
  // Why the last open or read failed, in a few words; may be empty.
  const std::string& reason() const { return reason_; }

 protected:
  cv::Mat frame_;
  std::string reason_;
};

// An open source: the reader of its kind, its state, and the texture side of its frames.
struct FrameSource {
  SourceChoice choice;
  SourceState state = SourceState::closed;
  std::unique_ptr<Reader> reader;                 // none while closed, and between retries
  std::uint32_t lastAttemptTick = 0;              // milliseconds, last open attempt
  std::uint32_t retryDelayMs = kRetryIntervalMs;  // until the next attempt
  std::uint32_t lastFrameTick = 0;  // milliseconds, the last frame (or the open, before one)
  std::uint32_t returnedTick = 0;   // milliseconds, the first frame after it was reported down
  bool framesSinceOpen = false;     // the current reader has delivered
  bool cardShown = false;           // the texture holds the test card
  // The texture side: a frame of another depth or layout as 8 bits a channel, and dual-fisheye
  // frames' maps for the current frame size with the picture they make.
  cv::Mat converted, fisheyeMap1, fisheyeMap2, equirect;
  cv::Size fisheyeMapFor;
  SaidOnce said;
};

// True when an upload is due: at least kUploadIntervalMs since `last`, counted modulo 2^32 so
// that a wrap of the tick counter does not stop the uploads.
bool uploadDue(std::uint32_t now, std::uint32_t last);

// True for text that is a GStreamer pipeline: it contains the link mark " ! ".
bool isPipeline(const std::string& text);

// The pipeline with an appsink at its end: "! videoconvert ! appsink" is added unless it ends in
// one already.
std::string completePipeline(const std::string& text);

// "camera 2", "file clip.avi", "stream rtsp://host/x", for messages.
std::string describeSource(const SourceChoice& choice);

// Silences OpenCV's own logging and keeps the per-upload images in reusable heap memory. Call
// once, first thing.
void prepareCapture();

// Starts opening `choice` into `source` without waiting for it; on failure says so once on
// stderr and leaves it to be retried. `fallbackReason`, when given, says why `choice` is a
// fallback; it goes into the same one line.
void openSource(FrameSource& source, const SourceChoice& choice, std::uint32_t now,
                const std::string& fallbackReason = "");

// The newest frame that is ready at `now`, as the sphere takes it, or nullptr when there is
// nothing new to show. Never waits for the source. Retries a missing source every retryDelayMs
// and reports losing and regaining it as transition() says.
const cv::Mat* nextFrame(FrameSource& source, std::uint32_t now);

// The texture side of a frame: converted to 8 bits where needed, dual-fisheye frames unwrapped,
// and a frame far from 2:1 named once. nullptr for a frame that cannot be shown.
const cv::Mat* pictureFor(FrameSource& source, const cv::Mat& frame);

void releaseSource(FrameSource& source);

// True while the texture should hold the test card rather than a picture of the source.
bool wantsCard(const FrameSource& source);

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

// Fills `mapX` and `mapY` (for cv::remap) so that they turn a dual-fisheye frame of `frameSize`
// into an equirectangular picture twice as wide as the circles are high, the right lens's
// centre in its middle. The layout is FFmpeg's v360 "dfisheye" with `fovDeg` across each lens.
void buildDualFisheyeMaps(cv::Size frameSize, double fovDeg, cv::Mat& mapX, cv::Mat& mapY);

// The picture shown while no source delivers: an equirectangular grid with the equator, the
// poles and the four directions marked, and `label` written around it. Blue-green-red.
cv::Mat makeTestCard(int width, int height, const char* label);

// Converts a blue-green-red frame into a fresh red-green-blue image with rows padded to four
// bytes and makes it the whole image of `texture`. Frames larger than the GL allows are scaled
// down first. Returns false (and uploads nothing) for an empty or unusable frame.
bool uploadFrame(const cv::Mat& frame, unsigned int texture);

// The idle handler: at most every kUploadIntervalMs, uploads the newest frame (or the test card
// while there is none) and asks for a redraw.
void onIdle();
