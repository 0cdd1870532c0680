// Opening sources and retrying them, and the one table of their states, with the one-line
// reports that keep a missing or lost source from being a dead window.
#include <glib.h>
#include <malloc.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/capture.h"
#include "capture/sources/internal.h"

namespace {

// Images up to this size stay on the heap between uploads: a padded 3840 by 1920 frame fits.
constexpr int kHeapImageLimit = 32 * 1024 * 1024;
// A camera is waited on this long at a time, input looked at in between: a key or a drag is
// seen this much later at worst.
constexpr int kCameraWaitSliceMs = 4;

// What the layout hint and the cube's size check look at: the frame's luma, or its colours,
// without a copy; packed YUV's luma is taken out while the hint has yet to be given.
cv::Mat hintView(const Planes& planes, const Reprojector& reprojector) {
  const cv::Size size(planes.width, planes.height);
  auto* data = const_cast<unsigned char*>(planes.data[0]);
  const std::size_t stride = static_cast<std::size_t>(planes.stride[0]);
  switch (planes.layout) {
    case PixelLayout::rgb:
    case PixelLayout::bgr:
      return cv::Mat(size, CV_8UC3, data, stride);
    case PixelLayout::rgbx:
    case PixelLayout::bgrx:
      return cv::Mat(size, CV_8UC4, data, stride);
    case PixelLayout::yuyv:
    case PixelLayout::uyvy: {
      const cv::Mat packed(size, CV_8UC2, data, stride);
      if (reprojector.saidHint || reprojector.layout.described) return packed;
      cv::Mat luma;
      cv::extractChannel(packed, luma, planes.layout == PixelLayout::yuyv ? 0 : 1);
      return luma;
    }
    default:
      return cv::Mat(size, CV_8UC1, data, stride);
  }
}

std::string withReason(const std::string& what, const std::string& why) {
  return why.empty() ? what : what + ": " + why;
}

// The line a transition says; `why` is the reader's reason, if it gave one.
void report(const FrameSource& source, Report say, const std::string& why) {
  const std::string name = describeSource(source.choice);
  const std::string retrying =
      ", retrying every " + std::to_string((source.retryDelayMs + 500) / 1000) + " s";
  std::string line;
  switch (say) {
    case Report::none:
      return;
    case Report::cannotOpen:
      line = withReason("cannot open " + name, why) + "; showing the test card" + retrying;
      break;
    case Report::noFrames:
      line = name + " delivers no frames in " + std::to_string(kFirstFrameTimeoutMs / 1000) +
             " s; showing the test card" + retrying;
      break;
    case Report::stopped:
      line = withReason(name + " stopped delivering frames", why) +
             "; its last picture is shown dimmed" + retrying;
      break;
    case Report::delivering:
      line = name + " is delivering frames";
      break;
    case Report::ended:
      // A source that can never deliver (a file without video) ends at once, with its reason.
      if (!source.framesSinceOpen && !why.empty()) {
        line = "cannot open " + name + ": " + why + "; showing the test card";
        break;
      }
      line = source.framesSinceOpen ? name + " has ended; its last picture stays"
                                    : name + " has ended without delivering a frame";
      break;
  }
  std::fprintf(stderr, "lumivane: %s\n", line.c_str());
}

void apply(FrameSource& source, SourceEvent event, std::uint32_t now, const std::string& why) {
  const Transition next = transition(source.state, event);
  if (next.state == SourceState::returning && source.state != SourceState::returning) {
    source.returnedTick = now;
  }
  report(source, next.say, why);
  source.state = next.state;
}

// The source failed or ended: its reader goes, and a retry opens a fresh one.
void drop(FrameSource& source, SourceEvent event, std::uint32_t now, std::string why) {
  source.reader.reset();
  source.lastAttemptTick = now;
  apply(source, event, now, why);
}

// A source that came back and has not failed since for kSteadyMs is said to deliver again.
void sayIfSteady(FrameSource& source, std::uint32_t now) {
  if (source.state == SourceState::returning && now - source.returnedTick >= kSteadyMs) {
    apply(source, SourceEvent::steady, now, "");
  }
}

std::unique_ptr<Reader> makeReader(FrameSource& source) {
  SourceChoice& choice = source.choice;
  if (choice.kind == SourceKind::videoFile || choice.kind == SourceKind::stillImage) {
    // A picture is told by its contents, not its name.
    choice.kind = isPictureFile(choice.location) ? SourceKind::stillImage : SourceKind::videoFile;
  }
  // A still is remapped once: its remap tables, as large as the picture, are not kept.
  source.reprojector.keepMaps = choice.kind != SourceKind::stillImage;
  switch (choice.kind) {
    case SourceKind::camera:
      return makeCameraReader(choice, source.said, source.wantsPlanes);
    case SourceKind::stillImage:
      return makeStillReader(choice, source.said);
    default:
      return makeGstReader(choice, source.said, source.wantsPlanes);
  }
}

// Why a file source cannot be opened at all, or "" when it is a plain file: one that is not
// there fails at once with its reason rather than later in the background, and a FIFO or a
// device is never opened, as its first read could block.
std::string fileProblem(const SourceChoice& choice) {
  if (choice.kind != SourceKind::videoFile && choice.kind != SourceKind::stillImage) return "";
  struct stat info;
  if (stat(choice.location.c_str(), &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? "no such file" : "it cannot be read";
  }
  return S_ISREG(info.st_mode) ? "" : "not a regular file";
}

// One open attempt. It never waits for the source; what takes time carries on in the
// background. A failed allocation is a failed open like any other, spaced out like them.
bool tryOpen(FrameSource& source, std::uint32_t now, std::string* why) {
  source.reader.reset();
  source.lastAttemptTick = source.lastFrameTick = now;
  source.framesSinceOpen = false;
  source.retryDelayMs = kRetryIntervalMs;
  bool opened = false;
  *why = fileProblem(source.choice);
  if (!why->empty()) return false;
  try {
    source.reader = makeReader(source);
    opened = source.reader->open();
    *why = source.reader->reason();
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
  } catch (const std::exception&) {
  }
  if (!opened) source.reader.reset();
  return opened;
}

}  // namespace

Transition transition(SourceState state, SourceEvent event) {
  using S = SourceState;
  using E = SourceEvent;
  struct Row {
    S from;
    E event;
    Transition to;
  };
  static const Row kTable[] = {
      {S::closed, E::opened, {S::connecting, Report::none}},
      {S::closed, E::openFailed, {S::missing, Report::cannotOpen}},
      {S::connecting, E::frame, {S::live, Report::none}},
      {S::connecting, E::failed, {S::missing, Report::cannotOpen}},
      {S::connecting, E::silent, {S::missing, Report::noFrames}},
      {S::connecting, E::ended, {S::ended, Report::ended}},
      {S::live, E::failed, {S::stale, Report::stopped}},
      {S::live, E::silent, {S::stale, Report::stopped}},
      {S::live, E::ended, {S::ended, Report::ended}},
      // Back, but not said until it has kept delivering; failing again meanwhile says nothing.
      {S::missing, E::frame, {S::returning, Report::none}},
      {S::stale, E::frame, {S::returning, Report::none}},
      {S::returning, E::steady, {S::live, Report::delivering}},
      {S::returning, E::failed, {S::stale, Report::none}},
      {S::returning, E::silent, {S::stale, Report::none}},
      {S::returning, E::ended, {S::ended, Report::ended}},
      {S::missing, E::ended, {S::ended, Report::ended}},
      {S::stale, E::ended, {S::ended, Report::ended}},
  };
  for (const Row& row : kTable) {
    if (row.from == state && row.event == event) return row.to;
  }
  return {state, Report::none};
}

void sayOnce(bool& said, const std::string& message) {
  if (said) return;
  said = true;
  std::fprintf(stderr, "lumivane: %s\n", message.c_str());
}

bool uploadDue(std::uint32_t now, std::uint32_t last) { return now - last >= kUploadIntervalMs; }

void prepareCapture() {
  // Without these, an absent camera or an odd file brings several lines of back-end warnings.
  setenv("OPENCV_LOG_LEVEL", "SILENT", 0);
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
  source.said = SaidOnce();
  source.converted.release();
  source.reprojector = Reprojector{};
  source.reprojector.layout = sourceLayout(source.choice);
  std::string why;
  const bool opened = tryOpen(source, now, &why);
  const std::string name = describeSource(source.choice);
  if (fallbackReason.empty()) {
    apply(source, opened ? SourceEvent::opened : SourceEvent::openFailed, now, why);
  } else if (opened) {
    std::fprintf(stderr, "lumivane: %s; opening %s\n", fallbackReason.c_str(), name.c_str());
    source.state = transition(source.state, SourceEvent::opened).state;
  } else {
    std::fprintf(
        stderr,
        "lumivane: %s; cannot open %s either%s; showing the test card, retrying every "
        "%u s\n",
        fallbackReason.c_str(), name.c_str(),
        // The arguments' warning may have said why already.
        why.empty() || fallbackReason.find(why) != std::string::npos ? "" : (": " + why).c_str(),
        (source.retryDelayMs + 500) / 1000);
    source.state = transition(source.state, SourceEvent::openFailed).state;
  }
}

Shown nextShown(FrameSource& source, std::uint32_t now) {
  const Shown nothing;
  if (source.state == SourceState::closed || source.state == SourceState::ended) return nothing;
  if (source.reader == nullptr) {
    if (now - source.lastAttemptTick < source.retryDelayMs) return nothing;
    std::string why;
    if (!tryOpen(source, now, &why)) {
      apply(source, SourceEvent::openFailed, now, why);
      return nothing;
    }
  }
  ReadResult result = ReadResult::failed;
  try {
    result = source.reader->read(now);
  } catch (const std::exception&) {
    // A frame that cannot be decoded or allocated (std::bad_alloc) fails the source; the
    // idle handler carries on.
  }
  switch (result) {
    case ReadResult::failed:
      drop(source, SourceEvent::failed, now, source.reader->reason());
      return nothing;
    case ReadResult::ended:
      drop(source, SourceEvent::ended, now, source.reader->reason());
      return nothing;
    case ReadResult::nothingNew: {
      const std::uint32_t quiet = now - source.lastFrameTick;
      const std::uint32_t stall = source.reader->stallLimitMs();
      if ((!source.framesSinceOpen && quiet >= kFirstFrameTimeoutMs) ||
          (source.framesSinceOpen && stall > 0 && quiet >= stall)) {
        drop(source, SourceEvent::silent, now, "");
      } else {
        sayIfSteady(source, now);
      }
      return nothing;
    }
    case ReadResult::frame:
      break;
  }
  source.lastFrameTick = now;
  source.framesSinceOpen = true;
  Shown shown;
  if (source.reader->planar()) {
    // The shader unwraps it: only the geometry of its layout is worked out here.
    const Planes& planes = source.reader->planes();
    shown.geometry = frameGeometry(source.reprojector, hintView(planes, source.reprojector));
    shown.planes = &planes;
  } else {
    shown.picture = pictureFor(source, source.reader->frame());
    source.pictureOrder = source.reader->frameOrder();
    // A frame that cannot be shown leaves the card or the last picture up, not a blank sphere.
    if (shown.picture == nullptr) return nothing;
  }
  apply(source, SourceEvent::frame, now, "");
  sayIfSteady(source, now);
  return shown;
}

const cv::Mat* nextFrame(FrameSource& source, std::uint32_t now) {
  return nextShown(source, now).picture;
}

void awaitSource(FrameSource& source, int inputFd, int ms) {
  pollfd fds[3] = {{inputFd, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
  int woken[2];
  const int count = source.reader != nullptr ? source.reader->wakeDescriptors(woken) : 0;
  for (int i = 0; i < count; ++i) fds[1 + i].fd = woken[i];
  if (count > 0 || source.reader == nullptr || !source.reader->canAwaitFrames()) {
    poll(fds, 1 + count, ms);
    return;
  }
  // A camera is waited on by its library, a few milliseconds at a time, so that input is seen
  // between the waits.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (poll(fds, 1, 0) > 0) return;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    const int left = ms - static_cast<int>(waited);
    if (left <= 0) return;
    if (source.reader->awaitFrame(std::min(left, kCameraWaitSliceMs))) return;
  }
}

void releaseSource(FrameSource& source) {
  source.reader.reset();
  source.state = SourceState::closed;
}

bool wantsCard(const FrameSource& source) {
  return source.state == SourceState::connecting || source.state == SourceState::missing ||
         (source.state == SourceState::ended && !source.framesSinceOpen);
}

Layout sourceLayout(SourceChoice& choice) {
  Layout file;
  choice.joined = Joined{};
  std::string path = choice.location;
  bool local = choice.kind == SourceKind::videoFile || choice.kind == SourceKind::stillImage;
  if (choice.kind == SourceKind::stream && path.rfind("file://", 0) == 0) {
    gchar* named = g_filename_from_uri(path.c_str(), nullptr, nullptr);
    local = named != nullptr;
    path = local ? named : "";
    g_free(named);
  }
  if (local) {
    std::string problem;
    std::vector<std::string> notes;
    file = readFileLayout(path, &problem, &choice.joined, &notes);
    if (!problem.empty()) {
      std::fprintf(stderr, "lumivane: %s %s; shown as if it had no layout metadata\n",
                   describeSource(choice).c_str(), problem.c_str());
    }
    for (const std::string& note : notes) {
      std::fprintf(stderr, "lumivane: %s %s\n", describeSource(choice).c_str(), note.c_str());
    }
  }
  return mergeLayout(choice.layout, file);
}
