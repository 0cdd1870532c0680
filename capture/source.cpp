// Opening sources and retrying them: the one place where a source changes state, with the
// one-line reports that keep a missing or lost source from being a dead window.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "capture/source_internal.h"

namespace {

// Images up to this size stay on the heap between uploads: a padded 3840 by 1920 frame fits.
constexpr int kHeapImageLimit = 32 * 1024 * 1024;
// An open attempt that takes this long or more spaces the next ones out.
constexpr long long kSlowOpenMs = 250;
// Used when a file does not say its frame rate, or says something absurd.
constexpr double kFallbackFps = 25.0;
// A still picture file larger than this is not read into memory.
constexpr std::streamoff kMaxPictureFileBytes = std::streamoff{512} << 20;

bool isOpen(const FrameSource& source) {
  switch (source.choice.kind) {
    case SourceKind::stillImage:
      return !source.frame.empty();
    case SourceKind::pipeline:
      return source.pipeline != nullptr;
    default:
      return source.video.isOpened();
  }
}

void closeCapture(FrameSource& source) {
  source.video.release();
  closePipeline(source);
  if (source.choice.kind == SourceKind::stillImage) source.frame.release();
}

// Says that the source is missing or stopped; `message` is the whole line after the program
// name. Only transitions into missing or stale call this, so it is said once.
void reportDown(const FrameSource& source, const std::string& message) {
  std::fprintf(stderr, "lumivane: %s, retrying every %u s\n", message.c_str(),
               (source.retryDelayMs + 500) / 1000);
}

void markLive(FrameSource& source) {
  if (source.state == SourceState::missing || source.state == SourceState::stale) {
    std::fprintf(stderr, "lumivane: %s is delivering frames\n",
                 describeSource(source.choice).c_str());
  }
  source.state = SourceState::live;
}

// The source failed: close it so the retries open it afresh.
void markLost(FrameSource& source, std::uint32_t now) {
  const std::string name = describeSource(source.choice);
  if (source.state == SourceState::live) {
    source.state = SourceState::stale;
    reportDown(source, name + " stopped delivering frames; its last picture is shown dimmed");
  } else if (source.state == SourceState::connecting) {
    source.state = SourceState::missing;
    reportDown(source, name + " delivers no frames; showing the test card");
  }
  closeCapture(source);
  source.lastAttemptTick = now;
}

bool isMjpeg(double fourccValue) {
  const int fourcc = static_cast<int>(fourccValue);
  std::string name;
  for (int shift = 0; shift < 32; shift += 8) {
    name += static_cast<char>(std::tolower((fourcc >> shift) & 0xFF));
  }
  return name == "mjpg" || name == "mjpe" || name == "jpeg";
}

// MJPEG is switched to packet mode before its first grab, so that frames that are never shown
// are never decoded. (Opening in packet mode and again for other codecs would take a second
// connection, which a server that serves one client refuses.)
bool openFileOrStream(FrameSource& source) {
  std::vector<int> params;
  if (source.choice.kind == SourceKind::stream) {
    params = {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, kStreamOpenTimeoutMs, cv::CAP_PROP_READ_TIMEOUT_MSEC,
              kStreamReadTimeoutMs};
  }
  if (!source.video.open(source.choice.location, cv::CAP_FFMPEG, params)) return false;
  source.mode =
      isMjpeg(source.video.get(cv::CAP_PROP_FOURCC)) && source.video.set(cv::CAP_PROP_FORMAT, -1)
          ? ReadMode::jpegPackets
          : ReadMode::decoded;
  return true;
}

bool openCamera(FrameSource& source) {
  source.mode = ReadMode::decoded;
#ifdef __linux__
  // V4L2 alone answers for an absent camera in well under a millisecond; the default order
  // tries GStreamer first, which takes about 200 ms and prints warnings.
  source.video.open(source.choice.cameraIndex, cv::CAP_V4L2);
#else
  source.video.open(source.choice.cameraIndex, cv::CAP_ANY);
#endif
  // The default queue of four buffers would show pictures about 130 ms old.
  if (source.video.isOpened()) source.video.set(cv::CAP_PROP_BUFFERSIZE, 1);
  return source.video.isOpened();
}

bool loadStill(FrameSource& source) {
  std::ifstream file(source.choice.location, std::ios::binary | std::ios::ate);
  const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
  if (size > kMaxPictureFileBytes) source.openFailure = "it is larger than 512 MB";
  if (size <= 0 || size > kMaxPictureFileBytes) return false;
  std::vector<unsigned char> bytes(static_cast<size_t>(size));
  file.seekg(0);
  if (!file.read(reinterpret_cast<char*>(bytes.data()), size)) return false;
  source.packet = cv::Mat(1, static_cast<int>(size), CV_8UC1, bytes.data());
  const bool loaded = retrieveOne(source);
  source.packet.release();
  if (!loaded) source.frame.release();
  return loaded;
}

// One open attempt. A source that takes long to fail, such as a server that accepts and never
// answers, would otherwise freeze the window most of the time: its retries are spaced by what
// an attempt costs.
bool tryOpen(FrameSource& source, std::uint32_t now) {
  const auto started = std::chrono::steady_clock::now();
  closeCapture(source);
  source.openFailure.clear();
  bool opened = false;
  try {
    opened = openCapture(source, now);
  } catch (const cv::Exception&) {
  }
  if (!opened) closeCapture(source);
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

// Frames of other depths and layouts (a pipeline can hand over 16-bit, floating-point or
// two-channel ones) as 8-bit grey, blue-green-red or with alpha, which the upload takes. False
// for a layout nobody can guess.
bool toEightBit(const cv::Mat& frame, cv::Mat& out) {
  const int channels = frame.channels();
  if (channels != 1 && channels != 2 && channels != 3 && channels != 4) return false;
  cv::Mat eight;
  switch (frame.depth()) {
    case CV_8U:
      eight = frame;
      break;
    case CV_8S:
      frame.convertTo(eight, CV_8U, 1.0, 128.0);
      break;
    case CV_16U:
      frame.convertTo(eight, CV_8U, 1.0 / 256.0);
      break;
    case CV_16S:
      frame.convertTo(eight, CV_8U, 1.0 / 256.0, 128.0);
      break;
    case CV_32F:
    case CV_64F:  // taken as 0 to 1
      frame.convertTo(eight, CV_8U, 255.0);
      break;
    default:
      return false;
  }
  if (channels != 2) {
    out = eight;
    return true;
  }
  // Two 8-bit channels are packed YUYV, as cameras deliver it; wider ones grey and alpha.
  if (frame.depth() == CV_8U && frame.cols % 2 == 0) {
    cv::cvtColor(eight, out, cv::COLOR_YUV2BGR_YUYV);
  } else {
    cv::extractChannel(eight, out, 0);
  }
  return true;
}

// The frame as the sphere takes it: converted to 8 bits where needed, then unwrapped, cropped
// and turned as its layout says.
const cv::Mat* shownPicture(FrameSource& source) {
  const cv::Mat* raw = &source.frame;
  if (raw->depth() != CV_8U || raw->channels() == 2) {
    if (!toEightBit(*raw, source.converted)) {
      sayOnce(source.saidFormat, describeSource(source.choice) + " delivers frames of " +
                                     std::to_string(raw->channels()) +
                                     " channels that cannot be shown; not shown");
      return nullptr;
    }
    raw = &source.converted;
  }
  return &reproject(source.reprojector, *raw);
}

}  // namespace

bool openCapture(FrameSource& source, std::uint32_t now) {
  SourceChoice& choice = source.choice;
  source.liveOffsetMs = source.lastOffsetMs = liveClockMs();
  if (choice.kind == SourceKind::videoFile || choice.kind == SourceKind::stillImage) {
    // A picture is told by its contents, not its name.
    if (cv::haveImageReader(choice.location)) {
      choice.kind = SourceKind::stillImage;
      source.reprojector.keepMaps = false;
      return loadStill(source);
    }
    choice.kind = SourceKind::videoFile;
  }
  source.reprojector.keepMaps = true;
  if (choice.kind == SourceKind::pipeline) {
    source.mode = ReadMode::decoded;
    return openPipeline(source);
  }
  const bool opened =
      choice.kind == SourceKind::camera ? openCamera(source) : openFileOrStream(source);
  if (!opened && choice.kind == SourceKind::videoFile) {
    source.openFailure = access(choice.location.c_str(), R_OK) == 0
                             ? "not a picture or video the viewer reads"
                             : std::strerror(errno);
    source.openFailure[0] = static_cast<char>(std::tolower(source.openFailure[0]));
  }
  if (!opened) return false;
  const double fps = source.video.get(cv::CAP_PROP_FPS);
  source.fps = (fps > 0.0 && fps <= 1000.0) ? fps : kFallbackFps;
  const double count = source.video.get(cv::CAP_PROP_FRAME_COUNT);
  source.frameCount = (count > 0.0 && count < 1e12) ? static_cast<std::int64_t>(count) : 0;
  source.playStartTick = now;
  source.framesRead = 0;
  return true;
}

bool grabOne(FrameSource& source) { return source.video.grab(); }

bool retrieveOne(FrameSource& source) {
  if (source.mode == ReadMode::decoded && source.choice.kind != SourceKind::stillImage) {
    return source.video.retrieve(source.frame) && !source.frame.empty();
  }
  if (source.choice.kind != SourceKind::stillImage &&
      (!source.video.retrieve(source.packet) || source.packet.empty())) {
    return false;
  }
  int width = 0, height = 0;
  const DecodeResult result =
      decodePicture(source.packet.data, source.packet.total(), source.frame, &width, &height);
  if (result == DecodeResult::ok) return true;  // every frame of a healthy source: no more work
  const std::string name = describeSource(source.choice);
  switch (result) {
    case DecodeResult::ok:
      return true;
    case DecodeResult::damaged:
      sayOnce(source.saidDamaged, name + " has damaged pictures; shown as far as they decode");
      return true;
    case DecodeResult::tooLarge: {
      // The image library refuses without saying the size.
      const std::string why =
          (width > 0 ? "declares " + std::to_string(width) + "x" + std::to_string(height) +
                           " pixels, more than this viewer shows"
                     : std::string("declares more pixels than this viewer shows"));
      // A still picture's reason goes into the one line that says it cannot be opened.
      if (source.choice.kind == SourceKind::stillImage) {
        source.openFailure = "it " + why;
      } else {
        sayOnce(source.saidTooLarge, name + " " + why + "; skipped");
      }
      return false;
    }
    case DecodeResult::failed:
      if (source.choice.kind == SourceKind::stillImage) {
        source.openFailure = "not a picture the viewer can decode";
      } else {
        sayOnce(source.saidDamaged, name + " has pictures that cannot be decoded; skipped");
      }
      return false;
  }
  return false;
}

double liveClockMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sayOnce(bool& said, const std::string& message) {
  if (said) return;
  said = true;
  std::fprintf(stderr, "lumivane: %s\n", message.c_str());
}

bool uploadDue(std::uint32_t now, std::uint32_t last) { return now - last >= kUploadIntervalMs; }

std::string describeSource(const SourceChoice& choice) {
  switch (choice.kind) {
    case SourceKind::camera:
      return "camera " + std::to_string(choice.cameraIndex);
    case SourceKind::stream:
      return "stream " + choice.location;
    case SourceKind::pipeline:
      return "pipeline '" + choice.location + "'";
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
  setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "1", 0);
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
  source.cardShown = false;
  source.saidDamaged = source.saidTooLarge = source.saidBehind = false;
  source.reprojector = Reprojector{};
  source.reprojector.layout = sourceLayout(choice);
  source.saidFormat = source.saidFailure = false;
  const std::string name = describeSource(choice);
  if (tryOpen(source, now)) {
    source.state = SourceState::connecting;
    if (!fallbackReason.empty()) {
      std::fprintf(stderr, "lumivane: %s; opening %s\n", fallbackReason.c_str(), name.c_str());
    }
    return;
  }
  source.state = SourceState::missing;
  // The reason, when known, goes into the same line.
  const std::string why = source.openFailure.empty() ? "" : ": " + source.openFailure;
  if (fallbackReason.empty()) {
    reportDown(source, "cannot open " + name + why + "; showing the test card");
  } else {
    reportDown(source, fallbackReason + "; cannot open " + name + " either" + why +
                           "; showing the test card");
  }
}

void discardFrame(FrameSource& source) {
  if (source.state != SourceState::connecting || source.choice.kind != SourceKind::camera) return;
  try {
    source.video.grab();
  } catch (const cv::Exception&) {
  }
}

const cv::Mat* nextFrame(FrameSource& source, std::uint32_t now) {
  if (source.state == SourceState::closed) return nullptr;
  const bool retrying = source.state == SourceState::missing || source.state == SourceState::stale;
  if (retrying && !isOpen(source)) {
    if (now - source.lastAttemptTick < source.retryDelayMs) return nullptr;
    if (!tryOpen(source, now)) return nullptr;
  }
  bool ok = false;
  bool fresh = true;
  try {
    switch (source.choice.kind) {
      case SourceKind::stillImage:
        if (source.state == SourceState::live) return nullptr;  // shown already
        ok = !source.frame.empty();
        break;
      case SourceKind::camera:
        // The camera keeps one buffer, so what it hands out is what it sees now.
        ok = source.video.read(source.frame) && !source.frame.empty();
        break;
      case SourceKind::stream:
        ok = readNewest(source, &fresh);
        break;
      case SourceKind::pipeline:
        // Its appsink keeps only the newest frame.
        ok = readPipeline(source);
        break;
      case SourceKind::videoFile:
        ok = readPaced(source, now, &fresh);
        break;
    }
  } catch (const cv::Exception&) {
    ok = false;
  }
  if (!ok) {
    markLost(source, now);
    return nullptr;
  }
  if (!fresh) return nullptr;
  const cv::Mat* picture = shownPicture(source);
  // A frame that cannot be shown leaves the card or the last picture up, not a blank sphere.
  if (picture == nullptr) return nullptr;
  markLive(source);
  return picture;
}

void releaseSource(FrameSource& source) {
  source.video.release();
  closePipeline(source);
  source.state = SourceState::closed;
}

bool wantsCard(const FrameSource& source) {
  return source.state == SourceState::connecting || source.state == SourceState::missing;
}
