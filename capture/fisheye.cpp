// Dual-fisheye frames (two circular lenses side by side) turned into the equirectangular picture
// that the sphere takes: the mapping is pure arithmetic, computed once per frame size.
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "capture/capture.h"

// The layout is FFmpeg's v360 "dfisheye": each circle inscribed in its half, equidistant, `fov`
// degrees across its diameter, both upright. The right lens looks at the panorama's centre,
// the left one at its edge, mirrored as a lens facing the other way sees it.
void buildDualFisheyeMaps(cv::Size frameSize, double fovDeg, cv::Mat& mapX, cv::Mat& mapY) {
  const double half = frameSize.width / 2.0;
  const double diameter = std::min(half, static_cast<double>(frameSize.height));
  const int outHeight = std::max(1, static_cast<int>(diameter));
  const int outWidth = 2 * outHeight;
  const double radius = (diameter - 1.0) / 2.0;
  const double centreY = (frameSize.height - 1.0) / 2.0;
  const double leftCentreX = (half - 1.0) / 2.0;
  const double rightCentreX = std::ceil(half) + leftCentreX;
  const double halfFov = fovDeg * CV_PI / 360.0;
  mapX.create(outHeight, outWidth, CV_32FC1);
  mapY.create(outHeight, outWidth, CV_32FC1);
  for (int j = 0; j < outHeight; ++j) {
    // Latitude grows downwards, as the picture's rows do; longitude 0 is the middle column.
    const double lat = ((2.0 * j + 1.0) / outHeight - 1.0) * CV_PI / 2.0;
    float* xs = mapX.ptr<float>(j);
    float* ys = mapY.ptr<float>(j);
    for (int i = 0; i < outWidth; ++i) {
      const double lon = ((2.0 * i + 1.0) / outWidth - 1.0) * CV_PI;
      const double x = std::cos(lat) * std::sin(lon), y = std::sin(lat);
      const double z = std::cos(lat) * std::cos(lon);
      const double sideways = std::hypot(x, y);
      // Equidistant: the distance from the circle's centre grows with the angle off its axis.
      const double r = std::acos(std::min(1.0, std::fabs(z))) / halfFov * radius;
      const double dx = sideways > 0.0 ? x / sideways * r : 0.0;
      const double dy = sideways > 0.0 ? y / sideways * r : 0.0;
      xs[i] = static_cast<float>(z >= 0.0 ? rightCentreX + dx : leftCentreX - dx);
      ys[i] = static_cast<float>(centreY + dy);
    }
  }
}
