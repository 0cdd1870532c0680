// Scene rendering: the projection, the per-redraw transform with the automatic spin, and the
// textured sphere. The arithmetic is kept apart from the GL calls.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "capture/frame/frame.h"
#include "capture/layouts/layouts.h"

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
// The spin after `elapsedMs` of time at `step` degrees every 60 ms (--gpu turns it by time, not
// by redraw), brought back within 0 to 360.
float advanceSpinOverTime(float angle, float step, std::uint32_t elapsedMs);

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

// --- Drawing frames in their own layout (--gpu) ------------------------------------------------
// The frame's planes go into textures made once per frame size and layout, and a fragment shader
// draws the sphere from them: each screen pixel's ray, the picture's pixel it falls on, that
// pixel's place in the frame through its layout, and the colour there, converted from YUV.
// Stills and the test card still go up as one RGB picture, drawn as without --gpu.

// What the shader needs to know of a frame: its colours and its layout.
struct FrameLook {
  PixelLayout pixels = PixelLayout::i420;
  ColourMatrix matrix = ColourMatrix::bt601;
  bool fullRange = false;
  bool chromaCositedX = false, chromaCositedY = false;
  LayoutGeometry geometry;
};
FrameLook frameLook(const Planes& planes, const LayoutGeometry& geometry);

struct GpuDrawing {
  bool on = false;             // --gpu was asked for and this GL can draw with shaders
  bool showingPlanes = false;  // the sphere shows the planes, not the picture's texture
  bool luminance = false;      // no one- and two-channel textures: LUMINANCE(_ALPHA) instead
  unsigned textures[3] = {};   // GL names of the planes' textures
  cv::Size planeSizes[3];      // texels, as the textures were made
  PixelLayout madeFor = PixelLayout::i420;
  FrameLook look;                                  // of the frame the textures hold
  std::vector<std::pair<int, unsigned>> programs;  // GL programs by variant
  // Each window pixel's place in the frame, kept in a float texture while the view stands still.
  bool keeping = false;  // this GL has float textures to draw into
  unsigned keptTexture = 0, keptFramebuffer = 0;
  cv::Size keptSize;            // the window's, as the texture was made
  bool keptReady = false;       // it holds the places for the last draw's view
  std::vector<float> lastView;  // what the last draw's places depended on
};

// RGB = matrix * (YUV - offset), each channel from 0 to 1; the matrix column by column, as
// glUniformMatrix3fv takes it.
struct YuvToRgb {
  float matrix[9];
  float offset[3];
};
YuvToRgb yuvToRgb(ColourMatrix matrix, bool fullRange);

// Each screen pixel's ray in the sphere's own axes, from the model-view and projection matrices
// (column by column): where the eye is, how an eye-space direction turns, the eye-space ray
// through the screen's corner per unit of depth, and the near and far planes. `drawable` is false
// when the model-view squashes the sphere flat (a zoom of 0): nothing of it can be seen.
// `screen` is the part of the screen the sphere of `radius` can cover (left, bottom, right, top,
// from -1 to 1): the whole screen when the eye is inside it or it reaches the near plane.
// `pixelsPerRadian` is the most pixels that a radian of the sphere can take on a screen
// `height` pixels high, where it comes nearest the eye.
struct RayModel {
  float eye[3];
  float turn[9];
  float frustum[2];
  float depthRange[2];
  bool drawable;
  float screen[4];
  double pixelsPerRadian;
};
RayModel rayModel(const double modelView[16], const double projection[16], double radius,
                  int height);

// Whether this GL can draw with the shader: OpenGL 2.1 and GLSL 1.20, textures of any size, the
// programs compiled. When it cannot, says so in one line and returns false.
bool startGpuDrawing(GpuDrawing& gpu);
// Whether the shader for frames that look like `look` builds on this GL (compiled the first
// time it is asked for).
bool canDraw(GpuDrawing& gpu, const FrameLook& look);
// Puts `planes` into the textures, to be drawn as `look` says; false (nothing changed) for a
// frame the textures cannot take.
bool uploadPlanes(GpuDrawing& gpu, const Planes& planes, const FrameLook& look);
// Draws the sphere from the planes with the current model-view and projection, at `brightness`.
void drawPlanes(GpuDrawing& gpu, float brightness);
