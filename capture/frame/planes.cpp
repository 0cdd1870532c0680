// The shapes of frames in their own layout: planes, their sizes and their texels.
#include "capture/frame/frame.h"

int planeCount(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::i420:
    case PixelLayout::yv12:
    case PixelLayout::yuv422:
    case PixelLayout::yuv444:
      return 3;
    case PixelLayout::nv12:
    case PixelLayout::nv21:
      return 2;
    default:
      return 1;
  }
}

cv::Size planeSize(PixelLayout layout, cv::Size frame, int plane) {
  // YUYV and UYVY come in pairs: an odd width's last pixel has a pair of its own.
  if (layout == PixelLayout::yuyv || layout == PixelLayout::uyvy) {
    return cv::Size((frame.width + 1) / 2 * 2, frame.height);
  }
  if (plane == 0) return frame;
  // Odd sizes round up: the last chroma sample covers the last pixel alone.
  const int halfWidth = (frame.width + 1) / 2, halfHeight = (frame.height + 1) / 2;
  switch (layout) {
    case PixelLayout::i420:
    case PixelLayout::yv12:
    case PixelLayout::nv12:
    case PixelLayout::nv21:
      return cv::Size(halfWidth, halfHeight);
    case PixelLayout::yuv422:
      return cv::Size(halfWidth, frame.height);
    default:
      return frame;
  }
}

int texelBytes(PixelLayout layout, int plane) {
  switch (layout) {
    case PixelLayout::nv12:
    case PixelLayout::nv21:
      return plane == 0 ? 1 : 2;
    case PixelLayout::yuyv:
    case PixelLayout::uyvy:
      return 2;
    case PixelLayout::rgb:
    case PixelLayout::bgr:
      return 3;
    case PixelLayout::rgbx:
    case PixelLayout::bgrx:
      return 4;
    default:
      return 1;
  }
}

bool isYuv(PixelLayout layout) {
  return layout != PixelLayout::grey && layout != PixelLayout::rgb && layout != PixelLayout::bgr &&
         layout != PixelLayout::rgbx && layout != PixelLayout::bgrx;
}
