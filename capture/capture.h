// Camera streaming: where frames come from (camera, video file, still picture, network stream),
// their pacing, and their upload into the sphere's texture.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

// Frames are uploaded at most this often.
constexpr std::uint32_t kUploadIntervalMs = 60;
// A source that is missing or has stopped delivering is opened again this often.
constexpr std::uint32_t kRetryIntervalMs = 2000;

enum class SourceKind { camera, videoFile, stillImage, stream };

struct SourceChoice {
  SourceKind kind = SourceKind::camera;
  int cameraIndex = 0;   // for a camera
  std::string location;  // file path or stream URL for the others
};

// An open source and the one frame buffer that every grab refills, so a grab never faults in a
// fresh multi-megabyte image.
struct FrameSource {
  SourceChoice choice;
  cv::VideoCapture video;
  cv::Mat frame;                      // the latest frame, blue-green-red, valid until the next grab
  bool open = false;                  // `video` is open, or the still picture is loaded
  bool live = false;                  // the last grab delivered a frame
  bool reportedDown = false;          // stderr has said that the source is missing or stopped
  bool stillPending = false;          // a still picture that has not been handed out yet
  bool showingCard = false;           // the texture holds the test card rather than a frame
  bool stale = false;                 // the texture holds the last frame of a source that stopped
  std::uint32_t lastAttemptTick = 0;  // milliseconds, last open attempt
  std::uint32_t retryDelayMs = kRetryIntervalMs;  // until the next attempt
  std::uint32_t playStartTick = 0;  // milliseconds, when frame 0 of a video file is due
  std::int64_t framesRead = 0;      // frames read from a video file since its start
  double fps = 0.0;                 // frames per second of a video file
  double decodeMs = 0.0;            // typical cost of a stream's grab of a waiting frame
};

// True when an upload is due: at least kUploadIntervalMs since `last`, counted modulo 2^32 so
// that a wrap of the tick counter does not stop the uploads.
bool uploadDue(std::uint32_t now, std::uint32_t last);

// "camera 2", "file clip.avi", "stream rtsp://host/x", for messages.
std::string describeSource(const SourceChoice& choice);

// Silences OpenCV's and its back ends' own logging, bounds how long a stalled camera can block
// a grab, and keeps the per-upload images in reusable heap memory. Call once, first thing.
void prepareCapture();

// Opens `choice` into `source`; on failure says so once on stderr and leaves it to be retried.
// `fallbackReason`, when given, says why `choice` is a fallback; it goes into the same one line.
void openSource(FrameSource& source, const SourceChoice& choice, std::uint32_t now,
                const std::string& fallbackReason = "");

// Grabs one frame and drops it, as a camera's first frame often comes out badly exposed.
void discardFrame(FrameSource& source);

// The newest frame due at `now`, or nullptr when there is nothing new to show (a still picture
// already shown, a video frame not yet due, or no source). Retries a missing source every
// kRetryIntervalMs and reports losing and regaining it once each.
const cv::Mat* nextFrame(FrameSource& source, std::uint32_t now);

void releaseSource(FrameSource& source);

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
