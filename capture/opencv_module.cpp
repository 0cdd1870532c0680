// The parts of OpenCV that bring a large tree of libraries with them: its image codecs (GDAL,
// DICOM, OpenEXR, JPEG 2000 and theirs) and its camera capture (FFmpeg's devices and filters
// on top). Built as a module of its own and loaded on first use, so that a video file, a
// stream or a JPEG never loads them: about 35 MB less resident for every other source.
// The viewer reaches it only through the three functions at the end.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <vector>

#include "capture/source_internal.h"

namespace {

// A camera that has delivered and then gives nothing for this long has stopped.
constexpr std::uint32_t kCameraStallMs = 3000;

// Cameras through OpenCV's V4L2 back end, polled: a frame is taken only when the driver has one
// ready, so a camera whose frame rate drops never holds the window for a frame period.
class CameraReader final : public Reader {
 public:
  explicit CameraReader(int index) : index_(index) {}

  bool open() override {
#ifdef __linux__
    // V4L2 alone answers for an absent camera in well under a millisecond; the default order
    // tries GStreamer first, which takes about 200 ms and prints warnings.
    cameras_[0].open(index_, cv::CAP_V4L2);
#else
    cameras_[0].open(index_, cv::CAP_ANY);
#endif
    if (!cameras_[0].isOpened()) return false;
    // The default queue of four buffers would show pictures about 130 ms old.
    cameras_[0].set(cv::CAP_PROP_BUFFERSIZE, 1);
    return true;
  }

  ReadResult read(std::uint32_t) override {
    std::vector<int> ready;
    // A time-out of 0 would wait for ever; 1 ns polls.
    if (!cv::VideoCapture::waitAny(cameras_, ready, 1)) return ReadResult::nothingNew;
    if (!cameras_[0].retrieve(frame_) || frame_.empty()) return ReadResult::failed;
    // A camera's first frame often comes out badly exposed.
    if (!skippedFirst_) {
      skippedFirst_ = true;
      return ReadResult::nothingNew;
    }
    return ReadResult::frame;
  }

  std::uint32_t stallLimitMs() const override { return kCameraStallMs; }

 private:
  int index_;
  std::vector<cv::VideoCapture> cameras_ = std::vector<cv::VideoCapture>(1);
  bool skippedFirst_ = false;
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

__attribute__((visibility("default"))) Reader* lumivaneCameraReader(int index) {
  return new CameraReader(index);
}

}  // extern "C"
