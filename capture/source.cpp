// Frame sources: cameras, video files, still pictures and network streams, with the retries
// and the one-line reports that keep a missing or lost source from being a dead window.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "capture/capture.h"

namespace {

// Open and read time-outs for network streams: long enough for a slow server, short enough
// that a silent one does not freeze the window for the library's default 30 s.
constexpr int kStreamTimeoutMs = 3000;
// At most this many frames are skipped in one upload: a file that lags more has its clock moved
// instead of being caught up in one burst, and a stream's backlog is drained no further.
constexpr std::int64_t kMaxSkippedFrames = 8;
// Images up to this size stay on the heap between uploads: a padded 3840 by 1920 frame fits.
constexpr int kHeapImageLimit = 32 * 1024 * 1024;
// An open attempt that takes this long or more spaces the next ones out.
constexpr long long kSlowOpenMs = 250;
// A stream's grab that takes longer than this (and than 2.5 decodes) waited for the network.
constexpr double kMinWaitMs = 5.0;
// Draining a stream's backlog stops after this long, whatever is left.
constexpr double kMaxDrainMs = 40.0;
// Used when a file does not say its frame rate, or says something absurd.
constexpr double kFallbackFps = 25.0;

// Says once that the source is missing; `message` is the whole line after the program name.
void reportDown(FrameSource& source, const std::string& message) {
  if (source.reportedDown) return;
  std::fprintf(stderr, "lumivane: %s, retrying every %u s\n", message.c_str(),
               (source.retryDelayMs + 500) / 1000);
  source.reportedDown = true;
}

void markLive(FrameSource& source) {
  if (source.reportedDown) {
    std::fprintf(stderr, "lumivane: %s is delivering frames\n",
                 describeSource(source.choice).c_str());
    source.reportedDown = false;
  }
  source.live = true;
  source.stale = false;
}

// The source stopped: close it so the retries open it afresh.
void markLost(FrameSource& source, std::uint32_t now) {
  const std::string name = describeSource(source.choice);
  if (source.live) {
    reportDown(source, name + " stopped delivering frames; its last picture is shown dimmed");
    source.stale = true;
  } else {
    reportDown(source, name + " delivers no frames; showing the test card");
  }
  source.video.release();
  source.open = false;
  source.live = false;
  source.lastAttemptTick = now;
}

bool openVideo(FrameSource& source) {
  const SourceChoice& choice = source.choice;
  if (choice.kind == SourceKind::camera) {
#ifdef __linux__
    // V4L2 alone answers for an absent camera in well under a millisecond; the default order
    // tries GStreamer first, which takes about 200 ms and prints warnings.
    source.video.open(choice.cameraIndex, cv::CAP_V4L2);
#else
    source.video.open(choice.cameraIndex, cv::CAP_ANY);
#endif
    // The default queue of four buffers would show pictures about 130 ms old.
    if (source.video.isOpened()) source.video.set(cv::CAP_PROP_BUFFERSIZE, 1);
  } else if (choice.kind == SourceKind::stream) {
    source.video.open(choice.location, cv::CAP_FFMPEG,
                      std::vector<int>{cv::CAP_PROP_OPEN_TIMEOUT_MSEC, kStreamTimeoutMs,
                                       cv::CAP_PROP_READ_TIMEOUT_MSEC, kStreamTimeoutMs});
  } else {
    source.video.open(choice.location, cv::CAP_FFMPEG);
  }
  return source.video.isOpened();
}

bool openNow(FrameSource& source, std::uint32_t now) {
  source.video.release();
  source.open = false;
  try {
    if (source.choice.kind == SourceKind::videoFile ||
        source.choice.kind == SourceKind::stillImage) {
      // A picture is told by its contents, not its name.
      if (cv::haveImageReader(source.choice.location)) {
        source.frame = cv::imread(source.choice.location, cv::IMREAD_COLOR);
        if (source.frame.empty()) return false;
        source.choice.kind = SourceKind::stillImage;
        source.stillPending = true;
        source.open = true;
        return true;
      }
      source.choice.kind = SourceKind::videoFile;
    }
    if (!openVideo(source)) return false;
  } catch (const cv::Exception&) {
    source.video.release();
    return false;
  }
  const double fps = source.video.get(cv::CAP_PROP_FPS);
  source.fps = (fps > 0.0 && fps <= 1000.0) ? fps : kFallbackFps;
  source.playStartTick = now;
  source.framesRead = 0;
  source.open = true;
  return true;
}

// One open attempt. A source that takes long to fail, such as a server that accepts and never
// answers, would otherwise freeze the window most of the time: its retries are spaced by what
// an attempt costs.
bool tryOpen(FrameSource& source, std::uint32_t now) {
  const auto started = std::chrono::steady_clock::now();
  const bool opened = openNow(source, now);
  const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
  source.lastAttemptTick = now;
  source.retryDelayMs = kRetryIntervalMs;
  if (tookMs >= kSlowOpenMs) {
    source.retryDelayMs += static_cast<std::uint32_t>(std::min<long long>(5 * tookMs, 60000));
  }
  return opened;
}

// For a video file: reads the frame due at `now` on the file's own clock, skipping the ones
// that fell between two uploads. Returns false at the end of the file or on an error; sets
// `fresh` only when a new frame was read (the one on screen may still be the current one).
bool readPaced(FrameSource& source, std::uint32_t now, bool* fresh) {
  *fresh = false;
  const std::uint32_t elapsed = now - source.playStartTick;
  std::int64_t due = static_cast<std::int64_t>(elapsed * source.fps / 1000.0);
  if (source.framesRead > 0 && due < source.framesRead) return true;
  std::int64_t skip = due - source.framesRead;
  if (skip > kMaxSkippedFrames) {
    // Decoding cannot keep up (or the process was stopped): play on from here.
    skip = 0;
    due = source.framesRead;
    source.playStartTick = now - static_cast<std::uint32_t>(due * 1000.0 / source.fps);
  }
  for (std::int64_t i = 0; i < skip; ++i) {
    if (!source.video.grab()) return false;
  }
  if (!source.video.read(source.frame) || source.frame.empty()) return false;
  source.framesRead = due + 1;
  *fresh = true;
  return true;
}

// For a live stream: the frames that have already arrived are read and dropped, and the last one
// kept. A grab that returns about as fast as a frame decodes found its frame waiting; one that
// takes clearly longer had to wait for the network, so nothing newer is queued behind it. (The
// rate that streams announce is often a guess, 25 fps for MJPEG over HTTP, so it cannot say how
// many frames to drop.)
bool readNewest(FrameSource& source) {
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  for (int grabs = 0;; ++grabs) {
    const auto before = Clock::now();
    if (!source.video.grab()) return false;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
    const bool waited = ms > std::max(kMinWaitMs, 2.5 * source.decodeMs);
    if (!waited) source.decodeMs = 0.8 * source.decodeMs + 0.2 * ms;
    const double spent = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    if (waited || grabs >= kMaxSkippedFrames || spent > kMaxDrainMs) break;
  }
  return source.video.retrieve(source.frame) && !source.frame.empty();
}

// Starts a video file over from its first frame.
bool rewind(FrameSource& source, std::uint32_t now) {
  if (!source.video.set(cv::CAP_PROP_POS_FRAMES, 0) && !tryOpen(source, now)) return false;
  source.playStartTick = now;
  source.framesRead = 0;
  bool fresh = false;
  return readPaced(source, now, &fresh) && fresh;
}

}  // namespace

bool uploadDue(std::uint32_t now, std::uint32_t last) { return now - last >= kUploadIntervalMs; }

std::string describeSource(const SourceChoice& choice) {
  switch (choice.kind) {
    case SourceKind::camera:
      return "camera " + std::to_string(choice.cameraIndex);
    case SourceKind::stream:
      return "stream " + choice.location;
    case SourceKind::videoFile:
    case SourceKind::stillImage:
      break;
  }
  return "file " + choice.location;
}

void prepareCapture() {
  // Without these, an absent camera or an odd file brings several lines of back-end warnings.
  setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);  // FFmpeg's AV_LOG_QUIET
  setenv("OPENCV_LOG_LEVEL", "SILENT", 0);
  // A stalled camera blocks each grab for this many seconds (10 by default); read once,
  // before the first capture.
  setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "2", 0);
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // Each upload allocates its converted image afresh (22 MB at 3840 by 1920). Left to its
  // defaults, glibc hands such blocks out as new mappings and unmaps them again, so every
  // upload page-faults its whole image in: measured, up to five times the cost of the
  // conversion itself. Keeping them on the heap, and the heap untrimmed, makes them reusable.
  mallopt(M_MMAP_THRESHOLD, kHeapImageLimit);
  mallopt(M_TRIM_THRESHOLD, 2 * kHeapImageLimit);
}

void openSource(FrameSource& source, const SourceChoice& choice, std::uint32_t now,
                const std::string& fallbackReason) {
  releaseSource(source);
  source.choice = choice;
  source.reportedDown = false;
  source.showingCard = false;
  source.stale = false;
  const std::string name = describeSource(choice);
  if (tryOpen(source, now)) {
    if (!fallbackReason.empty()) {
      std::fprintf(stderr, "lumivane: %s; opening %s\n", fallbackReason.c_str(), name.c_str());
    }
  } else if (fallbackReason.empty()) {
    reportDown(source, "cannot open " + name + "; showing the test card");
  } else {
    reportDown(source, fallbackReason + "; cannot open " + name + " either; showing the test card");
  }
}

void discardFrame(FrameSource& source) {
  if (!source.open || source.choice.kind != SourceKind::camera) return;
  try {
    source.video.grab();
  } catch (const cv::Exception&) {
  }
}

const cv::Mat* nextFrame(FrameSource& source, std::uint32_t now) {
  if (!source.open) {
    if (now - source.lastAttemptTick < source.retryDelayMs) return nullptr;
    if (!tryOpen(source, now)) return nullptr;
  }
  try {
    switch (source.choice.kind) {
      case SourceKind::stillImage:
        if (!source.stillPending) return nullptr;
        source.stillPending = false;
        markLive(source);
        return &source.frame;
      case SourceKind::camera:
        // The camera keeps one buffer, so what it hands out is what it sees now.
        if (!source.video.read(source.frame) || source.frame.empty()) break;
        markLive(source);
        return &source.frame;
      case SourceKind::stream:
        if (!readNewest(source)) break;
        markLive(source);
        return &source.frame;
      case SourceKind::videoFile: {
        bool fresh = false;
        bool ok = readPaced(source, now, &fresh);
        if (!ok) ok = fresh = rewind(source, now);  // a file that ends starts over
        if (!ok) break;
        if (!fresh) return nullptr;
        markLive(source);
        return &source.frame;
      }
    }
  } catch (const cv::Exception&) {
  }
  markLost(source, now);
  return nullptr;
}

void releaseSource(FrameSource& source) {
  source.video.release();
  source.open = false;
  source.live = false;
  source.stillPending = false;
}
