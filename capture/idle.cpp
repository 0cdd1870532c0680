// The idle handler and the texture side of frames: paced uploads of the newest frame as the
// sphere takes it, or of the test card while there is none.
#include <GL/freeglut.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <opencv2/imgproc.hpp>
#include <string>

#include "app/app.h"
#include "capture/capture.h"
#include "capture/sources/internal.h"

namespace {

constexpr int kCardWidth = 1024;
constexpr int kCardHeight = 512;

void showCard(FrameSource& source) {
  const char* label = source.choice.kind == SourceKind::camera ? "no camera" : "no picture";
  if (uploadFrame(makeTestCard(kCardWidth, kCardHeight, label), viewer.texture)) {
    source.cardShown = true;
  }
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

}  // namespace

const cv::Mat* pictureFor(FrameSource& source, const cv::Mat& raw) {
  const cv::Mat* picture = &raw;
  if (raw.depth() != CV_8U || raw.channels() == 2) {
    if (!toEightBit(raw, source.converted)) {
      sayOnce(source.said.format, describeSource(source.choice) + " delivers frames of " +
                                      std::to_string(raw.channels()) +
                                      " channels that cannot be shown; not shown");
      return nullptr;
    }
    picture = &source.converted;
  }
  // Unwrapped, cropped and turned as its layout says; a plain equirectangular frame as it is.
  return &reproject(source.reprojector, *picture);
}

namespace {

// Nothing may escape into freeglut, which would end the program: a failed allocation for a huge
// frame, say, costs that frame and one line. The library's messages run over several lines; ours
// is one.
void sayNotShown(FrameSource& source, const std::exception& e) {
  std::string why = e.what();
  std::replace(why.begin(), why.end(), '\n', ' ');
  sayOnce(source.said.failure,
          "a frame of " + describeSource(source.choice) + " could not be shown (" + why + ")");
}

// --gpu: the newest frame as soon as it is read, into the planes' textures (or, for a still or
// the card, the picture's texture), then a redraw; with nothing new, a sleep until there is.
void showEachFrame() {
  const std::uint32_t now = tickMs();
  // The window's round trip no more often than the default's uploads would make it.
  if (uploadDue(now, viewer.lastUploadTick)) {
    viewer.lastUploadTick = now;
    quitIfWindowGone();
  }
  FrameSource& source = viewer.capture;
  GpuDrawing& gpu = viewer.gpu;
  bool pictureChanged = false;
  try {
    const Shown shown = nextShown(source, now);
    const FrameLook look =
        shown.planes != nullptr ? frameLook(*shown.planes, shown.geometry) : FrameLook();
    if (shown.planes != nullptr && !canDraw(gpu, look)) {
      // A GL that builds the shader for some layouts and not others: the source is opened again
      // to be drawn as without --gpu.
      std::fprintf(stderr,
                   "lumivane: --gpu cannot draw these frames on this GL, whose shader for their "
                   "layout does not build; drawing without it\n");
      gpu.on = false;
      source.wantsPlanes = false;
      openSource(source, source.choice, now);
      return;
    }
    if (shown.planes != nullptr) {
      if (uploadPlanes(gpu, *shown.planes, look)) {
        source.cardShown = false;
        pictureChanged = true;
      } else {
        sayOnce(source.said.format, "frames of " + describeSource(source.choice) +
                                        " cannot go into textures; not shown");
      }
    } else if (shown.picture != nullptr) {
      if (uploadFrame(*shown.picture, viewer.texture, source.pictureOrder)) {
        source.cardShown = false;
        gpu.showingPlanes = false;
      }
      pictureChanged = true;
    } else if (wantsCard(source) && !source.cardShown) {
      showCard(source);
      gpu.showingPlanes = false;
      pictureChanged = true;
    }
  } catch (const std::exception& e) {
    sayNotShown(source, e);
  }
  redrawOrSleep(pictureChanged);
}

}  // namespace

void onIdle() {
  if (viewer.gpu.on) return showEachFrame();
  if (!uploadDue(tickMs(), viewer.lastUploadTick)) return idleBetweenUploads();
  viewer.lastUploadTick = tickMs();
  quitIfWindowGone();
  FrameSource& source = viewer.capture;
  bool pictureChanged = false;
  try {
    const cv::Mat* frame = nextFrame(source, viewer.lastUploadTick);
    if (frame != nullptr) {
      if (uploadFrame(*frame, viewer.texture, source.pictureOrder)) source.cardShown = false;
      pictureChanged = true;
    } else if (wantsCard(source) && !source.cardShown) {
      // Nothing has delivered a picture: show the card rather than a blank sphere.
      showCard(source);
      pictureChanged = true;
    }
  } catch (const std::exception& e) {
    sayNotShown(source, e);
  }
  // Uploads are the regular heartbeat of redraws, and the spin with them, even while the
  // picture stands still (with --low-cpu, only while something changes).
  redrawAfterUpload(pictureChanged);
}
