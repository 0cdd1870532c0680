// An independent model of what the viewer should draw: each pixel's ray is intersected with the
// sphere placed as the viewer documents it, and the hit point turned into texture coordinates
// by the documented rules (first row at the top, the s = 0 seam facing the eye at spin 0,
// s = 0.5 straight ahead from inside, the near side moving right to left as the spin grows).
#pragma once

#include <optional>

#include "trackball/trackball.h"

struct ReferenceScene {
  bool inside = false;
  float spinDeg = 0.0f;
  float zoom = 1.0f;
  Quaternion orientation = kIdentityQuaternion;
};

struct TexCoord {
  double s, t;
};

// Texture coordinates seen through the centre of pixel (x, y) (y from the top) of a 640 by 480
// window, or nothing where the ray misses the sphere.
std::optional<TexCoord> referenceTexCoord(const ReferenceScene& scene, double x, double y);
