// Camera streaming: where frames come from (camera, video file, still picture, network stream,
// pipeline), the states of a source, and the upload of its frames into the sphere's texture.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

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

// --- Layouts: how a frame holds the sphere ---------------------------------------------------
// The layouts are those of FFmpeg's v360 filter: e, dfisheye, eac and c3x2 with its defaults.
enum class Projection { equirect, dualFisheye, eac, cubemap };
// Two eyes in one frame: only the first (top or left) is shown.
enum class Stereo { mono, topBottom, leftRight };

// What the command line says about the frames; a setting left out comes from the file, or is
// the default.
struct LayoutOptions {
  std::optional<Projection> projection;
  std::optional<double> fisheyeFovDeg;  // degrees across each lens
  std::optional<Stereo> stereo;
  std::optional<double> yawDeg, pitchDeg, rollDeg;  // the turn, as v360's yaw, pitch, roll
};

// How a source's frames become the equirectangular picture that the sphere takes.
struct Layout {
  Projection projection = Projection::equirect;
  double fisheyeFovDeg = kDefaultFisheyeFovDeg;
  Stereo stereo = Stereo::mono;
  // A picture of part of the sphere: the shares of the full panorama's width and height that lie
  // beyond its left, top, right and bottom edges (all 0 for a whole sphere).
  double cropLeft = 0.0, cropTop = 0.0, cropRight = 0.0, cropBottom = 0.0;
  // The camera's pose as a file states it (spherical video metadata: counter-clockwise turns
  // about the up, then the right, then the forward axis), degrees.
  double poseYawDeg = 0.0, posePitchDeg = 0.0, poseRollDeg = 0.0;
  // The turn asked for on the command line, on top of the pose: v360's yaw, pitch, roll, degrees.
  double yawDeg = 0.0, pitchDeg = 0.0, rollDeg = 0.0;
  bool described = false;  // an option or the file says what the frames hold
};

// Where a layout puts the sphere in frames of one size: the numbers that the remap tables and
// the shader both follow, worked out once per frame size and layout. Directions are v360's: x
// to the right, y down, z straight ahead (the panorama's middle).
struct LayoutGeometry {
  Projection projection = Projection::equirect;
  cv::Size frame;         // the whole frame, pixels
  cv::Size eye;           // the part shown, at the frame's top left: the first eye, or all
  cv::Size picture;       // the equirectangular picture the frames make (the frame itself
                          // when they need no remap)
  bool remapped = false;  // the frames need unwrapping, cropping or turning
  bool wraps = false;     // a whole equirectangular frame: rows run on across the seam
  cv::Matx33d rotation;   // a shown direction to the frame's own
  cv::Scalar border;      // blue-green-red, where the frame holds nothing
  // Equirectangular: the whole panorama's size in frame pixels, and the frame's place in it.
  double fullWidth = 0, fullHeight = 0, cropLeftPx = 0, cropTopPx = 0;
  bool cropped = false, wholeRow = true;
  // Dual fisheye: the circles' centres and radius (pixels) and half the lens's view (radians).
  double leftCentreX = 0, rightCentreX = 0, centreY = 0, radius = 0, halfFov = 0;
  // Cubemaps: a face's width and height, and the padding around an equi-angular one (pixels).
  double faceWidth = 0, faceHeight = 0, pad = 0;
};

// The geometry of frames of `frameSize` in `layout`, the picture within `maxSide` a side.
LayoutGeometry layoutGeometry(cv::Size frameSize, const Layout& layout, int maxSide);

// Where direction `d` of the shown picture lies in the frame (pixel centres at whole numbers),
// and the rectangle of the lens, face or eye it lies in; `seen` false where the frame holds
// nothing for it.
struct FramePlace {
  double u = 0, v = 0;
  bool seen = false;
  cv::Rect2d within;  // pixels: the part of the frame that this place was taken from
};
FramePlace framePlace(const LayoutGeometry& geometry, const cv::Vec3d& d);

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

struct SourceChoice {
  SourceKind kind = SourceKind::camera;
  int cameraIndex = 0;   // for a camera given by number
  std::string location;  // file path or stream URL; for a camera, its device path if given one
  LayoutOptions layout;  // the frames' layout as the command line gives it
  CameraRequest camera;  // for a camera: the mode asked for
};

// Turns frames into the equirectangular picture: remap tables built once per frame size and
// layout, one cv::remap per shown frame.
struct Reprojector {
  Layout layout;          // what the frames hold: the options over what the file says
  cv::Size builtFor;      // the frame size the maps are for; empty before the first frame
  int builtMaxSide = 0;   // the texture limit they were built under, pixels
  cv::Mat map1, map2;     // fixed-point maps (CV_16SC2 and its fractions)
  int borderMode = 0;     // cv::BORDER_WRAP for a whole equirectangular row, else constant
  cv::Scalar border;      // what lies outside the frame: black, or dark grey beyond a crop
  cv::Mat picture;        // the last picture made
  bool saidHint = false;  // the layout hint has been given for this source
  // False for a source of one picture: it is remapped in strips, and no whole tables are kept.
  bool keepMaps = true;
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
  bool format = false;
  bool failure = false;
  bool mode = false;    // a camera's mode is not the one asked for
  bool behind = false;  // a stream's decoding fell behind and dropped pictures
};

// The order of a frame's three colour channels. Frames are blue-green-red, as OpenCV's are,
// except where a decoder's own layout was turned straight into the red-green-blue image that the
// upload takes.
enum class ChannelOrder { bgr, rgb };

// A decoded frame in its decoder's own layout, as --gpu hands it to the screen: no conversion or
// copy on the processor. YUV layouts keep their planes and subsampling; RGB ones their order.
enum class PixelLayout {
  i420,    // Y, U, V; chroma halved both ways
  yv12,    // Y, V, U
  nv12,    // Y, then U and V interleaved; chroma halved both ways
  nv21,    // Y, then V and U
  yuv422,  // Y, U, V; chroma halved across
  yuv444,  // Y, U, V at full size
  yuyv,    // one plane: Y0 U Y1 V
  uyvy,    // one plane: U Y0 V Y1
  grey,
  rgb,
  bgr,
  rgbx,  // four bytes a pixel, the fourth unused
  bgrx,
};

// How YUV turns into RGB: the standard's matrix, and whether Y runs 0-255 (full, as JPEG's)
// or 16-235 with chroma 16-240 (limited, as video's).
enum class ColourMatrix { bt601, bt709, bt2020 };

struct Planes {
  PixelLayout layout = PixelLayout::i420;
  int width = 0, height = 0;  // pixels
  const unsigned char* data[3] = {};
  int stride[3] = {};  // bytes from a row to the next
  ColourMatrix matrix = ColourMatrix::bt601;
  bool fullRange = false;
  // Subsampled chroma sits on the first pixel of those it covers (MPEG-2's across), rather than
  // in their middle (JPEG's).
  bool chromaCositedX = false, chromaCositedY = false;
  std::shared_ptr<const void> owner;  // keeps the bytes alive: a decoder's buffer, or ours
};

// How many planes a layout has; the size of one of them in its own texels (a texel of YUYV and
// UYVY is a pixel's two bytes: its Y and one of the pair's U and V); and the bytes of one texel.
int planeCount(PixelLayout layout);
cv::Size planeSize(PixelLayout layout, cv::Size frame, int plane);
int texelBytes(PixelLayout layout, int plane);
// True for the layouts whose colour comes through a YUV matrix.
bool isYuv(PixelLayout layout);

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
  // The texture side: a frame of another depth or layout as 8 bits a channel, and what unwraps,
  // crops and turns the frames that need it.
  cv::Mat converted;
  Reprojector reprojector;
  ChannelOrder pictureOrder = ChannelOrder::bgr;  // of the picture nextFrame gave
  SaidOnce said;
  // Frames are wanted in their own layout where the reader can give them so (--gpu).
  bool wantsPlanes = false;
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

// `text` with its control bytes written as \n, \t or \xNN, so that a message stays one line.
std::string printableText(const std::string& text);

// `text` (a URL, a pipeline, a library's message) without the secrets it may carry, for every
// line the viewer writes: the password of each URL's user part (rtsp://user@host/...), and the
// value of each name=value whose name holds pass, pwd, pw, token, key, secret, auth or sig
// (SRT's passphrase, a signed URL's sig, rtspsrc's user-pw), written as ***.
std::string withoutSecrets(const std::string& text);

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

// What is new to show: an equirectangular picture for the texture, as nextFrame gives it, or a
// frame in its own layout with the geometry of its layout (for the shader). Neither: nothing new.
struct Shown {
  const cv::Mat* picture = nullptr;
  const Planes* planes = nullptr;
  LayoutGeometry geometry;
};
// As nextFrame, for a source that may hand frames over in their own layout.
Shown nextShown(FrameSource& source, std::uint32_t now);

// Sleeps until `source` may have something new, the descriptor `inputFd` (the window system's
// connection) turns readable, or `ms` milliseconds pass, whichever comes first.
void awaitSource(FrameSource& source, int inputFd, int ms);

// The texture side of a frame: converted to 8 bits where needed, then unwrapped, cropped and
// turned as its layout says (see reproject). nullptr for a frame that cannot be shown.
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

// The layout of `choice`'s frames: its options over what its file says (read from the file's
// headers alone: spherical video side data, or a picture's GPano XMP). Metadata that is damaged
// or contradicts itself gets one line and counts as absent.
Layout sourceLayout(const SourceChoice& choice);

// What the file at `path` says about its layout (`described` false when nothing). A problem
// with its metadata goes into `problem`, and the layout is then the default.
Layout readFileLayout(const std::string& path, std::string* problem);

// The options over the file's layout, setting by setting. A turn comes on top of the file's pose.
Layout mergeLayout(const LayoutOptions& options, const Layout& file);

// True when frames of `layout` need the remap: anything but a whole equirectangular picture
// shown as it is.
bool needsReprojection(const Layout& layout);

// The equirectangular picture made from frames of `frameSize`: as detailed as the layout
// (faces of N pixels make 4N by 2N), within `maxSide` a side and kMaxPicturePixels.
cv::Size reprojectedSize(cv::Size frameSize, const Layout& layout, int maxSide);

// Fills `mapX` and `mapY` (CV_32FC1, for cv::remap) for `rows` of a picture of `outSize`: each
// pixel's place in a frame of `frameSize`, or -1 where the frame holds nothing for it.
void buildReprojectionMaps(cv::Size frameSize, const Layout& layout, cv::Size outSize,
                           cv::Range rows, cv::Mat& mapX, cv::Mat& mapY);

// The geometry of `frame` as it is shown: a frame too small for a cube's faces is shown as it is
// (said once); the layout hint is said once per source, as for reproject.
LayoutGeometry frameGeometry(Reprojector& reprojector, const cv::Mat& frame);

// The equirectangular picture of `frame`: the frame itself when it needs no remap (no copy),
// else the reprojector's picture. Frames that no option or metadata explains, and that do not
// look equirectangular, get one hint on stderr per source.
const cv::Mat& reproject(Reprojector& reprojector, const cv::Mat& frame);

// True for a frame that is plainly two fisheye circles side by side: black outside them.
bool looksDualFisheye(const cv::Mat& frame);

// The picture shown while no source delivers: an equirectangular grid with the equator, the
// poles and the four directions marked, and `label` written around it. Blue-green-red.
cv::Mat makeTestCard(int width, int height, const char* label);

// Converts a blue-green-red frame into a fresh red-green-blue image with rows padded to four
// bytes and makes it the whole image of `texture`. Frames larger than the GL allows are scaled
// down first. A red-green-blue frame whose rows are padded so already is that image, and is
// taken as it is. Returns false (and uploads nothing) for an empty or unusable frame.
bool uploadFrame(const cv::Mat& frame, unsigned int texture,
                 ChannelOrder order = ChannelOrder::bgr);

// A fresh red-green-blue image of `size`, its rows padded to four bytes as the upload takes it.
cv::Mat paddedRgbImage(cv::Size size);

// The largest texture side the GL took at the last upload (16384 before the first).
int textureSideLimit();

// The idle handler: at most every kUploadIntervalMs, uploads the newest frame (or the test card
// while there is none) and asks for a redraw.
void onIdle();
