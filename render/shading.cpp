// The shader's arithmetic, apart from GL: the YUV matrices and each screen pixel's ray.
#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>

#include "render/render.h"

YuvToRgb yuvToRgb(ColourMatrix matrix, bool fullRange) {
  // The luma weights of red and blue; green takes the rest.
  double kr = 0.299, kb = 0.114;
  if (matrix == ColourMatrix::bt709) kr = 0.2126, kb = 0.0722;
  if (matrix == ColourMatrix::bt2020) kr = 0.2627, kb = 0.0593;
  const double kg = 1.0 - kr - kb;
  // Limited range: Y from 16 to 235 and chroma from 16 to 240 (of 255) span the whole.
  const double yScale = fullRange ? 1.0 : 255.0 / 219.0;
  const double cScale = fullRange ? 1.0 : 255.0 / 224.0;
  const cv::Matx33d toRgb(1.0, 0.0, 2.0 * (1.0 - kr),                                     // red
                          1.0, -2.0 * kb * (1.0 - kb) / kg, -2.0 * kr * (1.0 - kr) / kg,  // green
                          1.0, 2.0 * (1.0 - kb), 0.0);                                    // blue
  const cv::Matx33d scaled = toRgb * cv::Matx33d::diag(cv::Vec3d(yScale, cScale, cScale));
  YuvToRgb out{};
  for (int column = 0; column < 3; ++column) {
    for (int row = 0; row < 3; ++row) {
      out.matrix[3 * column + row] = static_cast<float>(scaled(row, column));
    }
  }
  out.offset[0] = static_cast<float>(fullRange ? 0.0 : 16.0 / 255.0);
  out.offset[1] = out.offset[2] = static_cast<float>(128.0 / 255.0);
  return out;
}

namespace {

// Where the sides of the eye-space circle (centre (along, -depth), radius r) are seen along one
// screen axis, as that axis's projected coordinate times `scale`: false where a side lies beyond
// the eye's sideways view.
bool sides(double along, double depth, double r, double scale, float* low, float* high) {
  const double reach = std::asin(r / std::hypot(along, depth));
  const double middle = std::atan2(along, depth);
  if (middle - reach <= -CV_PI / 2 || middle + reach >= CV_PI / 2) return false;
  *low = static_cast<float>(std::max(-1.0, scale * std::tan(middle - reach)));
  *high = static_cast<float>(std::min(1.0, scale * std::tan(middle + reach)));
  return true;
}

}  // namespace

RayModel rayModel(const double modelView[16], const double projection[16], double radius,
                  int height) {
  RayModel model{};
  model.screen[0] = model.screen[1] = -1.0f;
  model.screen[2] = model.screen[3] = 1.0f;
  cv::Matx44d m;
  for (int column = 0; column < 4; ++column) {
    for (int row = 0; row < 4; ++row) m(row, column) = modelView[4 * column + row];
  }
  const cv::Matx33d linear = m.get_minor<3, 3>(0, 0);
  const double det = cv::determinant(linear);
  model.drawable = std::isfinite(det) && std::abs(det) > 1e-12;
  if (!model.drawable) return model;
  const cv::Matx33d inverse = linear.inv();
  const cv::Vec3d eye = -(inverse * cv::Vec3d(m(0, 3), m(1, 3), m(2, 3)));
  for (int i = 0; i < 3; ++i) model.eye[i] = static_cast<float>(eye[i]);
  for (int column = 0; column < 3; ++column) {
    for (int row = 0; row < 3; ++row) {
      model.turn[3 * column + row] = static_cast<float>(inverse(row, column));
    }
  }
  // A perspective projection: x and y scaled by these, the near and far planes in its third
  // column's last two entries.
  model.frustum[0] = static_cast<float>(1.0 / projection[0]);
  model.frustum[1] = static_cast<float>(1.0 / projection[5]);
  model.depthRange[0] = static_cast<float>(projection[14] / (projection[10] - 1.0));
  model.depthRange[1] = static_cast<float>(projection[14] / (projection[10] + 1.0));
  // The sphere, squashed or stretched by the zoom, lies within a sphere of its radius times the
  // model-view's largest stretch. Seen whole in front of the near plane, only the box around
  // that sphere's outline needs the shader; the rest of the screen is background.
  cv::Vec3d squares;
  cv::eigen(linear.t() * linear, squares);
  const double r = radius * std::sqrt(std::max(squares[0], 0.0)) * 1.01;
  const cv::Vec3d centre(m(0, 3), m(1, 3), m(2, 3));
  // A radian of the sphere, at most r long, seen from no nearer than its nearest point (or the
  // near plane) and face on.
  const double inner = radius * std::sqrt(std::max(squares[2], 0.0));
  const double nearest = std::max(
      {cv::norm(centre) - r, inner - cv::norm(centre), static_cast<double>(model.depthRange[0])});
  model.pixelsPerRadian = height / 2.0 * projection[5] * r / nearest;
  float box[4];
  if (-centre[2] - r > model.depthRange[0] &&
      sides(centre[0], -centre[2], r, projection[0], &box[0], &box[2]) &&
      sides(centre[1], -centre[2], r, projection[5], &box[1], &box[3])) {
    std::copy(box, box + 4, model.screen);
  }
  return model;
}

FrameLook frameLook(const Planes& planes, const LayoutGeometry& geometry) {
  return {planes.layout,         planes.matrix,         planes.fullRange,
          planes.chromaCositedX, planes.chromaCositedY, geometry};
}
