// Spin and projection arithmetic; no GL here.
#include <cmath>

#include "render/render.h"

float advanceSpin(float angle, float step) {
  angle += step;
  // Wrapping once is enough: the step is never more than 360. 360 itself is kept.
  if (angle > 360.0f) angle -= 360.0f;
  return angle;
}

WindowMetrics windowMetrics(int width, int height) {
  return WindowMetrics{1.0 / width, 1.0 / height, static_cast<double>(width) / height};
}

float advanceSpinOverTime(float angle, float step, std::uint32_t elapsedMs) {
  // The default's pace, 2 degrees a redraw at one redraw every 60 ms, spread over the time.
  const double turned = angle + static_cast<double>(step) * elapsedMs / 60.0;
  return static_cast<float>(turned > 360.0 ? std::fmod(turned, 360.0) : turned);
}
