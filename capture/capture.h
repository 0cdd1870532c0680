// Camera streaming: a source opened, watched and retried through the states of one table, and
// the idle handler that takes its newest frame to the screen. What flows through it lives in
// three sub-rooms, each with its header: the sources, the layouts, and the frame on its way to
// the screen.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "capture/frame/frame.h"
#include "capture/layouts/layouts.h"
#include "capture/sources/sources.h"

// Frames are uploaded at most this often.
constexpr std::uint32_t kUploadIntervalMs = 60;
// A source that is missing or has stopped delivering is opened again this often.
constexpr std::uint32_t kRetryIntervalMs = 2000;

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

// The layout of `choice`'s frames: its options over what its file says (read from the file's
// headers alone: spherical video side data, or a picture's GPano XMP). Metadata that is damaged
// or contradicts itself gets one line and counts as absent. A 360 camera's recording sets how
// its pictures join into one frame (`choice.joined`); what cannot be joined as the camera meant
// gets a line.
Layout sourceLayout(SourceChoice& choice);

// The idle handler: at most every kUploadIntervalMs, uploads the newest frame (or the test card
// while there is none) and asks for a redraw.
void onIdle();
