// Application shell: the viewer's one state record, the command line, the millisecond tick,
// the scene set-up and the keyboard commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "render/render.h"
#include "trackball/trackball.h"

class GLUquadric;

// Everything the handlers share. freeglut callbacks carry no user pointer, so there is exactly
// one of these, statically allocated, alive for the whole run.
struct ViewerState {
  float zoom = 1.0f;        // scale of the sphere across the screen's x and y axes
  float spinStep = 2.0f;    // degrees of automatic spin per redraw; 0 after the first grab
  float spinAngle = 0.0f;   // degrees, 0 to 360
  bool insideView = false;  // false: a globe 16 units away; true: the eye inside the sphere
  Quaternion orientation = kIdentityQuaternion;      // committed at each button release
  Quaternion dragOrientation = kIdentityQuaternion;  // orientation while a drag is under way
  RotationMatrix rotationMatrix = kIdentityMatrix;   // matrix of dragOrientation, for drawing
  std::int32_t dragging = 0;                         // 1 from a left press until its release
  std::int32_t anchorX = 0, anchorY = 0;             // pixels, pointer at the left press
  double invWidth = 0.0, invHeight = 0.0;            // 1/pixels of the window's size
  int window = 0;                                    // freeglut window identifier
  GLUquadric* quadric = nullptr;                     // draws the sphere
  unsigned int texture = 0;                          // GL texture name of the picture
  FrameSource capture;                               // the camera, file or stream
  std::uint32_t lastUploadTick = 0;                  // milliseconds, at the last upload
  bool lowCpu = false;  // --low-cpu: sleep between uploads, redraw only what changed
  // With --low-cpu, what the last redraw asked for showed, to tell whether the next one is needed.
  RotationMatrix drawnMatrix = kIdentityMatrix;
  bool drawnDimmed = false;
  // --gpu: frames drawn by the shader from their own layout, each as soon as it is ready.
  GpuDrawing gpu;
  std::uint32_t spinTick = 0;  // milliseconds, when the spin last advanced (--gpu: by time)
};

extern ViewerState viewer;

// --- Millisecond tick -------------------------------------------------------------------
// Milliseconds from a monotonic clock as an unsigned 32-bit count that wraps; take intervals as
// unsigned differences. Tests may replace the clock.
std::uint32_t tickMs();
using TickSource = std::uint32_t (*)();
void setTickSource(TickSource source);  // nullptr restores the real clock

// --- Command line -----------------------------------------------------------------------
enum class Command { run, help, version, listCameras };

struct Arguments {
  Command command = Command::run;
  SourceChoice source;                // what to open when running
  bool lowCpu = false;                // --low-cpu
  bool gpu = false;                   // --gpu
  std::vector<std::string> warnings;  // what was not understood, and what was done instead
};

// The fields of view that --dual-fisheye takes, in degrees.
constexpr double kMinFisheyeFovDeg = 150.0;
constexpr double kMaxFisheyeFovDeg = 270.0;

// Reads the arguments that freeglut left: options (--dual-fisheye[=FOV], --low-cpu) anywhere
// until "--", and at most one source. A whole number is a camera; an existing file is a picture
// or a video; text with " ! " a pipeline; scheme://... a network stream; text meant as a file
// that cannot be read stays a file (it is not there, say) and gets its reason; anything else is
// a camera number, read as atoi reads it. What is not understood is said in `warnings`.
Arguments parseArguments(int argc, const char* const* argv);

// True when the arguments ask for help, the version or the list of cameras; checked before the
// window system starts, so these work without a display.
Command earlyCommand(int argc, const char* const* argv);

const char* usageText();

// Takes one of the layout options (--projection, --stereo, --yaw, --pitch, --roll,
// --dual-fisheye) into `args`; false for any other option.
bool readLayoutOption(const std::string& option, Arguments* args);

// --- Scene and keys ---------------------------------------------------------------------
// The sphere's quadric (textured, smooth normals) and the picture's texture name, once the
// window's GL context is current.
void createSceneObjects();
void initScene();
void onKeyboard(unsigned char key, int x, int y);
// Ends the viewer at once, as Escape does: the source is let go, the window destroyed.
[[noreturn]] void quitViewer();

// The zoom after one `+` (direction 1) or `-` (direction -1): a double step of 0.1, stored back
// as a float, with no bound.
float stepZoom(float zoom, int direction);

// --- The X window ---------------------------------------------------------------------
// Gives freeglut's window the class a taskbar matches with the desktop entry (WM_CLASS
// "lumivane", "Lumivane") and the process id (_NET_WM_PID), and takes the X errors that say
// another client destroyed it. Call once the window exists.
void nameWindow();

// The idle handler's two steps for --low-cpu; without it they keep the polling design.
// Between uploads: with --low-cpu, waits until the next upload is due or an X event arrives
// (a drag already under way asks for its redraw instead); otherwise returns at once.
void idleBetweenUploads();
// After an upload round: asks for a redraw; with --low-cpu only when something shown changed:
// a new picture, the spin, the orientation or the dimming of a stopped source. Keys and the
// window system ask for their own redraws.
void redrawAfterUpload(bool pictureChanged);
// --gpu's idle step after each look at the source: asks for a redraw when a new picture came,
// the spin's next step is due (every kUploadIntervalMs) or a drag moved the view; otherwise
// sleeps until the source has news, an X event arrives or the spin's step is due.
void redrawOrSleep(bool pictureChanged);
// Asks the GL for one swap a display refresh where it offers swap control.
void swapOncePerRefresh();
// Ends the viewer when another X client has destroyed its window: freeglut ignores that, and
// the viewer would go on decoding for a window that is gone. Call at each upload round: a round
// trip to the X server about once a second, or at once after an X error about the window.
void quitIfWindowGone();
