// Ray-cast model of the viewer's sphere.
#include "support/reference.h"

#include <cmath>

namespace {

struct Vec {
  double x, y, z;
};

Vec rotate(const Quaternion& q, const Vec& v) {
  // v' = q v q*, written out as two cross products.
  const Vec u{q.x, q.y, q.z};
  const auto cross = [](const Vec& a, const Vec& b) {
    return Vec{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
  };
  const Vec t0 = cross(u, v);
  const Vec t{2 * t0.x, 2 * t0.y, 2 * t0.z};
  const Vec c = cross(u, t);
  return Vec{v.x + q.w * t.x + c.x, v.y + q.w * t.y + c.y, v.z + q.w * t.z + c.z};
}

Quaternion conjugate(const Quaternion& q) { return Quaternion{q.w, -q.x, -q.y, -q.z}; }

}  // namespace

std::optional<TexCoord> referenceTexCoord(const ReferenceScene& scene, double px, double py) {
  const double kPi = std::acos(-1.0);
  const double tanHalf = std::tan(22.5 * kPi / 180.0);
  const double aspect = 640.0 / 480.0;
  const Vec dir{((px + 0.5) / 320.0 - 1.0) * tanHalf * aspect, (1.0 - (py + 0.5) / 240.0) * tanHalf,
                -1.0};
  const Vec centre{0.0, 1.0, scene.inside ? 0.0 : -16.0};

  // Into the sphere's frame: undo the turn, then the zoom of the x and y axes.
  const Quaternion back = conjugate(scene.orientation);
  Vec o = rotate(back, Vec{-centre.x, -centre.y, -centre.z});
  Vec d = rotate(back, dir);
  o = Vec{o.x / scene.zoom, o.y / scene.zoom, o.z};
  d = Vec{d.x / scene.zoom, d.y / scene.zoom, d.z};

  const double r = 5.0;
  const double a = d.x * d.x + d.y * d.y + d.z * d.z;
  const double b = 2 * (o.x * d.x + o.y * d.y + o.z * d.z);
  const double c = o.x * o.x + o.y * o.y + o.z * o.z - r * r;
  const double disc = b * b - 4 * a * c;
  if (disc < 0) return std::nullopt;
  // The nearest hit beyond the near plane (1 unit ahead; the ray's z step is -1).
  double lambda = (-b - std::sqrt(disc)) / (2 * a);
  if (lambda < 1.0) lambda = (-b + std::sqrt(disc)) / (2 * a);
  if (lambda < 1.0 || lambda > 200.0) return std::nullopt;
  const Vec p{o.x + lambda * d.x, o.y + lambda * d.y, o.z + lambda * d.z};

  // Undo the spin: the spin turns the sphere about its upright (y) axis so that the near side
  // moves to the left, that is by -spin about y.
  const double angle = scene.spinDeg * kPi / 180.0;
  const Vec m{p.x * std::cos(angle) + p.z * std::sin(angle), p.y,
              -p.x * std::sin(angle) + p.z * std::cos(angle)};
  // s = 0 faces +z (the eye, from outside), grows towards -x, is 0.5 at -z; t = 0 at the top.
  double s = std::atan2(-m.x, m.z) / (2 * kPi);
  if (s < 0) s += 1.0;
  const double len = std::sqrt(m.x * m.x + m.y * m.y + m.z * m.z);
  const double t = std::acos(std::fmax(-1.0, std::fmin(1.0, m.y / len))) / kPi;
  return TexCoord{s, t};
}
