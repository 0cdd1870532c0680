// The frame on its way to the screen: a picture the sphere's texture takes as it is, or a decoded
// frame in its own layout (planes, strides, colours) for the shader; the upload of pictures and
// the test card shown while there is none.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>

// The largest picture the viewer decodes, in pixels: 16384 by 8192, above the largest
// spherical stills. A header that declares more is refused before anything is allocated.
constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 27;

// The order of a frame's three colour channels. Frames are blue-green-red, as OpenCV's are,
// except where a decoder's own layout was turned straight into the red-green-blue image that the
// upload takes.
enum class ChannelOrder { bgr, rgb };

// A decoded frame in its decoder's own layout, as --gpu hands it to the screen: no conversion or
// copy on the processor. YUV layouts keep their planes and subsampling; RGB ones their order.
enum class PixelLayout {
  i420,    // Y, U, V; chroma halved both ways
  yv12,    // Y, V, U
  nv12,    // Y, then U and V interleaved; chroma halved both ways
  nv21,    // Y, then V and U
  yuv422,  // Y, U, V; chroma halved across
  yuv444,  // Y, U, V at full size
  yuyv,    // one plane: Y0 U Y1 V
  uyvy,    // one plane: U Y0 V Y1
  grey,
  rgb,
  bgr,
  rgbx,  // four bytes a pixel, the fourth unused
  bgrx,
};

// How YUV turns into RGB: the standard's matrix, and whether Y runs 0-255 (full, as JPEG's)
// or 16-235 with chroma 16-240 (limited, as video's).
enum class ColourMatrix { bt601, bt709, bt2020 };

struct Planes {
  PixelLayout layout = PixelLayout::i420;
  int width = 0, height = 0;  // pixels
  const unsigned char* data[3] = {};
  int stride[3] = {};  // bytes from a row to the next
  ColourMatrix matrix = ColourMatrix::bt601;
  bool fullRange = false;
  // Subsampled chroma sits on the first pixel of those it covers (MPEG-2's across), rather than
  // in their middle (JPEG's).
  bool chromaCositedX = false, chromaCositedY = false;
  std::shared_ptr<const void> owner;  // keeps the bytes alive: a decoder's buffer, or ours
};

// How many planes a layout has; the size of one of them in its own texels (a texel of YUYV and
// UYVY is a pixel's two bytes: its Y and one of the pair's U and V); and the bytes of one texel.
int planeCount(PixelLayout layout);
cv::Size planeSize(PixelLayout layout, cv::Size frame, int plane);
int texelBytes(PixelLayout layout, int plane);
// True for the layouts whose colour comes through a YUV matrix.
bool isYuv(PixelLayout layout);

// The picture shown while no source delivers: an equirectangular grid with the equator, the
// poles and the four directions marked, and `label` written around it. Blue-green-red.
cv::Mat makeTestCard(int width, int height, const char* label);

// Converts a blue-green-red frame into a fresh red-green-blue image with rows padded to four
// bytes and makes it the whole image of `texture`. Frames larger than the GL allows are scaled
// down first. A red-green-blue frame whose rows are padded so already is that image, and is
// taken as it is. Returns false (and uploads nothing) for an empty or unusable frame.
bool uploadFrame(const cv::Mat& frame, unsigned int texture,
                 ChannelOrder order = ChannelOrder::bgr);

// A fresh red-green-blue image of `size`, its rows padded to four bytes as the upload takes it.
cv::Mat paddedRgbImage(cv::Size size);

// The largest texture side the GL took at the last upload (16384 before the first).
int textureSideLimit();
