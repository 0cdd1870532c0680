// Scene rendering: the projection, the per-redraw transform with the automatic spin, and the
// textured sphere. The arithmetic is kept apart from the GL calls.
#pragma once

constexpr double kFieldOfViewDeg = 45.0;
constexpr double kNearPlane = 1.0;
constexpr double kFarPlane = 200.0;
constexpr float kSphereRadius = 5.0f;
constexpr int kSphereSlices = 120;
constexpr int kSphereStacks = 120;
// Brightness of a picture whose source stopped delivering.
constexpr float kStaleBrightness = 0.45f;

// The spin after one redraw: `angle` + `step`, brought back once by 360 when above 360.
float advanceSpin(float angle, float step);

struct WindowMetrics {
  double invWidth;   // 1/pixels
  double invHeight;  // 1/pixels
  double aspect;     // width / height
};
// Inverse sizes and aspect ratio of a window; a zero size gives infinities, not a trap.
WindowMetrics windowMetrics(int width, int height);

void onReshape(int width, int height);
// Advances the spin, draws the scene and swaps.
void onDisplay();
// Clears and draws the scene into the back buffer without swapping, so it can be read back.
void drawScene();
void drawSphere();
