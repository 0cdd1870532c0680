// Spin and projection arithmetic; no GL here.
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
