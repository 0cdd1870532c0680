// The parts of OpenCV that bring a large tree of libraries with them: its image codecs (GDAL,
// DICOM, OpenEXR, JPEG 2000 and theirs) and its camera capture (FFmpeg's devices and filters
// on top). Built as a module of its own and loaded on first use, so that a video file, a
// stream or a JPEG never loads them: about 35 MB less resident for every other source.
// The viewer reaches it only through the functions at the end.
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <vector>

#include "capture/sources/internal.h"

namespace {

// OpenCV's V4L2 capture of one camera. waitAny dequeues a ready buffer as the pending frame, and
// only retrieve() queues it back: a frame is retrieved at once, or the driver runs out of
// buffers to fill. The default four buffers keep one queued while the viewer is busy.
struct Camera {
  std::vector<cv::VideoCapture> capture = std::vector<cv::VideoCapture>(1);
  bool started = false;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) bool lumivaneLibraryReadsPicture(const char* path) {
  return cv::haveImageReader(path);
}

// The codecs check the size their header declares against OPENCV_IO_MAX_IMAGE_PIXELS, which
// they read as the module loads: the viewer sets it first.
__attribute__((visibility("default"))) DecodeResult lumivaneLibraryDecode(const unsigned char* data,
                                                                          std::size_t size,
                                                                          cv::Mat* bgr) {
  try {
    cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(data)),
                 cv::IMREAD_COLOR, bgr);
  } catch (const cv::Exception& e) {
    // The library says which of its limits was passed, but not the size.
    return e.err.find("CV_IO_MAX_IMAGE") != std::string::npos ? DecodeResult::tooLarge
                                                              : DecodeResult::failed;
  }
  return bgr->empty() ? DecodeResult::failed : DecodeResult::ok;
}

__attribute__((visibility("default"))) void* lumivaneOpenCamera(const char* path,
                                                                const CameraMode* want, bool raw,
                                                                CameraMode* got) {
  try {
    auto camera = std::make_unique<Camera>();
    cv::VideoCapture& capture = camera->capture[0];
    if (!capture.open(path, cv::CAP_V4L2)) return nullptr;
    // Each of these starts the device over; the size takes effect once both sides are set.
    capture.set(cv::CAP_PROP_FOURCC, want->fourcc);
    capture.set(cv::CAP_PROP_FRAME_WIDTH, want->width);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, want->height);
    // A driver that lists no rate is left at its own.
    if (want->fps > 0.0) capture.set(cv::CAP_PROP_FPS, want->fps);
    // Raw frames are converted (a JPEG decoded) by the viewer, for the newest frame only.
    capture.set(cv::CAP_PROP_CONVERT_RGB, raw ? 0 : 1);
    got->fourcc = static_cast<std::uint32_t>(capture.get(cv::CAP_PROP_FOURCC));
    got->width = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH));
    got->height = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT));
    got->fps = capture.get(cv::CAP_PROP_FPS);
    return capture.isOpened() ? camera.release() : nullptr;
  } catch (const std::exception&) {
    return nullptr;
  }
}

__attribute__((visibility("default"))) int lumivaneNewestCameraFrame(void* handle, cv::Mat* frame,
                                                                     int waitMs) {
  auto* camera = static_cast<Camera*>(handle);
  int got = 0;
  // Bounded, so that a camera faster than the viewer cannot keep it here.
  for (int taken = 0; taken < 8; ++taken) {
    std::vector<int> ready;
    try {
      // 1 ns makes a poll of at most 1 ms; 0 would wait for ever. Only the first waits longer.
      const std::int64_t waitNs = taken == 0 && waitMs > 0 ? std::int64_t{waitMs} * 1000000 : 1;
      if (!cv::VideoCapture::waitAny(camera->capture, ready, waitNs) || ready.empty()) break;
    } catch (const cv::Exception&) {
      // The first wait starts the stream and, with the select time-out of 0 that the viewer
      // sets so that it never blocks, throws when no frame is there yet. Later, a throw is the
      // driver's error (POLLERR): the camera is gone.
      if (!camera->started) {
        camera->started = true;
        break;
      }
      return -1;
    }
    camera->started = true;
    try {
      // OpenCV's own conversion can refuse a frame (NV12 of an odd height, say).
      if (!camera->capture[0].retrieve(*frame) || frame->empty()) return -1;
    } catch (const cv::Exception&) {
      return -1;
    }
    got = 1;
  }
  return got;
}

__attribute__((visibility("default"))) void lumivaneCloseCamera(void* handle) {
  delete static_cast<Camera*>(handle);
}

}  // extern "C"
