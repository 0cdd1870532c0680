// Colour conversion and texture upload of one frame.
#include <GL/gl.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "capture/frame/frame.h"

namespace {

// GL_MAX_TEXTURE_SIZE as the last upload found it; before the first, the largest picture side.
int maxTextureSide = 16384;

}  // namespace

int textureSideLimit() { return maxTextureSide; }

namespace {

// GL reads rows padded to the unpack alignment of 4 bytes; a cv::Mat is packed, so a width
// whose 3 bytes a pixel are not a multiple of 4 would come out skewed and overrun the buffer.
// The image is laid out with padded rows instead.
int paddedStride(int width) { return (width * 3 + 3) & ~3; }

}  // namespace

cv::Mat paddedRgbImage(cv::Size size) {
  const cv::Mat storage(size.height, paddedStride(size.width), CV_8UC1);
  // Packed rows of three channels within the padded ones, sharing the storage's ownership.
  return storage(cv::Rect(0, 0, size.width * 3, size.height)).reshape(3);
}

bool uploadFrame(const cv::Mat& frame, unsigned int texture, ChannelOrder order) {
  if (frame.empty() || frame.depth() != CV_8U) return false;
  int conversion = 0;
  switch (frame.channels()) {
    case 1:
      conversion = cv::COLOR_GRAY2RGB;
      break;
    case 3:
      conversion = order == ChannelOrder::rgb ? -1 : cv::COLOR_BGR2RGB;
      break;
    case 4:
      conversion = cv::COLOR_BGRA2RGB;
      break;
    default:
      return false;
  }

  // A picture larger than the GL takes would leave the texture without an image.
  cv::Mat source = frame;
  GLint maxSize = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
  if (maxSize > 0) maxTextureSide = maxSize;
  if (maxSize > 0 && (frame.cols > maxSize || frame.rows > maxSize)) {
    const double scale = std::min(static_cast<double>(maxSize) / frame.cols,
                                  static_cast<double>(maxSize) / frame.rows);
    cv::resize(frame, source,
               cv::Size(std::max(1, static_cast<int>(frame.cols * scale)),
                        std::max(1, static_cast<int>(frame.rows * scale))),
               0, 0, cv::INTER_AREA);
  }

  cv::Mat rgb = source;
  if (conversion >= 0 || source.step != static_cast<size_t>(paddedStride(source.cols))) {
    rgb = paddedRgbImage(source.size());
    const uchar* padded = rgb.data;
    if (conversion >= 0) {
      cv::cvtColor(source, rgb, conversion);
    } else {
      source.copyTo(rgb);
    }
    // The conversion must have written into our padded buffer, not a fresh packed one.
    CV_Assert(rgb.data == padded);
  }

  glBindTexture(GL_TEXTURE_2D, texture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
  // Defined anew in full at the frame's own size, so a change of size needs nothing special.
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, source.cols, source.rows, 0, GL_RGB, GL_UNSIGNED_BYTE,
               rgb.data);
  return true;
}
