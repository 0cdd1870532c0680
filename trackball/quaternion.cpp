// Quaternion arithmetic of the trackball; no GL here.
#include <cmath>

#include "trackball/trackball.h"

Quaternion quaternionProduct(const Quaternion& a, const Quaternion& b) {
  return Quaternion{
      a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
      a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
      a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
      a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
  };
}

RotationMatrix rotationMatrixOf(const Quaternion& q) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  // The 1 - 2(..) diagonal is exact only for a unit quaternion; drags keep it close to one.
  return RotationMatrix{{
      1 - 2 * y * y - 2 * z * z, 2 * x * y + 2 * w * z, 2 * x * z - 2 * w * y, 0,  // column 0
      2 * x * y - 2 * w * z, 1 - 2 * z * z - 2 * x * x, 2 * y * z + 2 * w * x, 0,  // column 1
      2 * x * z + 2 * w * y, 2 * y * z - 2 * w * x, 1 - 2 * x * x - 2 * y * y, 0,  // column 2
      0, 0, 0, 1,                                                                  // column 3
  }};
}

bool dragRotation(long long dx, long long dy, double invWidth, double invHeight,
                  Quaternion* rotation) {
  const double dX = static_cast<double>(dx) * invWidth;
  const double dY = static_cast<double>(dy) * invHeight;
  const double len = std::sqrt(dX * dX + dY * dY);
  // A zero-length drag would divide by zero below; a window of zero width makes the length
  // infinite or NaN, and a turn by that would poison the orientation for the rest of the run.
  if (len == 0.0 || !std::isfinite(len)) return false;
  const double h = len * 6.283185307179586 * 0.5;
  const double s = std::sin(h) / len;
  const Quaternion d{std::cos(h), dY * s, dX * s, 0.0};
  if (!std::isfinite(d.w) || !std::isfinite(d.x) || !std::isfinite(d.y)) return false;
  *rotation = d;
  return true;
}
