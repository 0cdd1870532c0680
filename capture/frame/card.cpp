// The test card shown while no source delivers a picture: an equirectangular grid that makes
// the globe, its poles and its directions readable from any side.
#include <opencv2/imgproc.hpp>

#include "capture/frame/frame.h"

namespace {

const cv::Scalar kBackground(70, 45, 25);  // blue-green-red: a dark blue
const cv::Scalar kGrid(150, 130, 110);
const cv::Scalar kEquator(0, 210, 255);
const cv::Scalar kNorthCap(60, 60, 200);
const cv::Scalar kSouthCap(200, 120, 40);
const cv::Scalar kText(255, 255, 255);

void centredText(cv::Mat& image, const std::string& text, cv::Point centre, double scale,
                 const cv::Scalar& colour, int thickness) {
  int baseline = 0;
  const cv::Size size =
      cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
  cv::putText(image, text, centre + cv::Point(-size.width / 2, size.height / 2),
              cv::FONT_HERSHEY_SIMPLEX, scale, colour, thickness, cv::LINE_AA);
}

}  // namespace

cv::Mat makeTestCard(int width, int height, const char* label) {
  cv::Mat card(height, width, CV_8UC3, kBackground);
  const double scale = height / 512.0;
  const int thin = std::max(1, static_cast<int>(2 * scale));

  // Meridians and parallels every 30 degrees.
  for (int i = 1; i < 12; ++i) {
    const int x = i * width / 12;
    cv::line(card, {x, 0}, {x, height - 1}, kGrid, thin);
  }
  for (int i = 1; i < 6; ++i) {
    const int y = i * height / 6;
    cv::line(card, {0, y}, {width - 1, y}, kGrid, thin);
  }
  // Polar caps down to 75 degrees of latitude, each in its own colour.
  const int cap = height / 12;
  cv::rectangle(card, {0, 0}, {width - 1, cap}, kNorthCap, cv::FILLED);
  cv::rectangle(card, {0, height - 1 - cap}, {width - 1, height - 1}, kSouthCap, cv::FILLED);
  cv::line(card, {0, height / 2}, {width - 1, height / 2}, kEquator, 3 * thin);

  // A picture on a globe seen from outside reads mirrored, and the globe is what the viewer
  // opens on; so the writing is drawn on its own layer and mirrored to read right from there.
  cv::Mat text(height, width, CV_8UC3, cv::Scalar::all(0));
  const auto mirrored = [width](int x) { return width - 1 - x; };
  // The four directions on the equator, as seen from inside: the middle of the picture is
  // what lies ahead.
  const char* directions[] = {"BACK", "LEFT", "FRONT", "RIGHT"};
  for (int i = 0; i < 4; ++i) {
    const int x = i == 0 ? width / 24 : i * width / 4;
    centredText(text, directions[i], {mirrored(x), height / 2 - height / 16}, 0.9 * scale, kEquator,
                thin);
  }
  // The label, all the way round, so it is readable whatever way the globe is turned.
  for (int i = 0; i < 4; ++i) {
    const int x = mirrored(width / 8 + i * width / 4);
    centredText(text, label, {x, height / 3}, 1.2 * scale, kText, 2 * thin);
    centredText(text, label, {x, 2 * height / 3}, 1.2 * scale, kText, 2 * thin);
  }
  cv::flip(text, text, 1);
  cv::Mat ink;
  cv::cvtColor(text, ink, cv::COLOR_BGR2GRAY);
  text.copyTo(card, ink > 0);
  return card;
}
