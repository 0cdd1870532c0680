// Cameras through OpenCV's V4L2 back end, polled: a frame is taken only when the driver has one
// ready, so a camera whose frame rate drops never holds the window for a frame period.
#include <vector>

#include "capture/source_internal.h"

namespace {

// A camera that has delivered and then gives nothing for this long has stopped.
constexpr std::uint32_t kCameraStallMs = 3000;

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

std::unique_ptr<Reader> makeCameraReader(int index) {
  return std::make_unique<CameraReader>(index);
}
