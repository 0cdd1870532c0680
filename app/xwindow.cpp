// What the viewer does on freeglut's X connection itself: the window's desktop identity, and
// the low-CPU mode's waits on the connection between uploads.
#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/app.h"

namespace {

Window ourWindow = None;
bool windowGone = false;  // an error named the window: look at once
unsigned checksSkipped = 0;
XErrorHandler otherErrors = nullptr;

// Errors about our window (BadDrawable from a swap, GLX's own, BadWindow) come once another
// client has destroyed it: taken as a sign to look, not left to the handler that was there
// before (Xlib's ends the process with a message). Any other goes to that handler.
int onXError(Display* display, XErrorEvent* error) {
  if (ourWindow != None && error->resourceid == ourWindow) {
    windowGone = true;
    return 0;
  }
  return otherErrors != nullptr ? otherErrors(display, error) : 0;
}

}  // namespace

void nameWindow() {
  Display* display = glXGetCurrentDisplay();
  const Window window = glXGetCurrentDrawable();
  if (display == nullptr || window == None) return;
  char name[] = "lumivane";
  char className[] = "Lumivane";
  XClassHint hint{name, className};
  XSetClassHint(display, window, &hint);
  // A 32-bit property is handed over as an array of long.
  const long pid = static_cast<long>(getpid());
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
  XFlush(display);
  ourWindow = window;
  otherErrors = XSetErrorHandler(onXError);
}

namespace {

// The orientation or the dimming differs from what the last redraw asked for.
bool viewMoved(const ViewerState& state) {
  const bool dimmed = state.capture.state == SourceState::stale;
  return dimmed != state.drawnDimmed ||
         std::memcmp(state.rotationMatrix.m, state.drawnMatrix.m, sizeof state.drawnMatrix.m) != 0;
}

void requestRedraw() {
  viewer.drawnMatrix = viewer.rotationMatrix;
  viewer.drawnDimmed = viewer.capture.state == SourceState::stale;
  glutPostRedisplay();
}

// A redraw would show something that the last one did not.
bool redrawNeeded(const ViewerState& state, bool pictureChanged) {
  return pictureChanged || state.spinStep != 0.0f || viewMoved(state);
}

}  // namespace

namespace {

// Whether more threads are ready to run than there are processors, this one included, as the
// kernel counts them (the fourth field of /proc/loadavg, "running/all"). The polling loop would
// then hold a processor that a decoding or drawing thread is waiting for.
bool processorsWanted() {
  static const int loadavg = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  static const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  char text[128];
  const ssize_t got = loadavg >= 0 ? pread(loadavg, text, sizeof text - 1, 0) : -1;
  if (got <= 0) return false;
  text[got] = '\0';
  long running = 0;
  return std::sscanf(text, "%*s %*s %*s %ld/", &running) == 1 && running > processors;
}

// Waits for X input, or up to `ms` milliseconds; false when there is no connection to wait on.
bool waitForInput(int ms) {
  Display* display = glXGetCurrentDisplay();
  if (display == nullptr) return false;
  // Events that Xlib has already read sit in its queue, where poll cannot see them; this also
  // sends what is still buffered, so that nothing waits on our own requests.
  if (XEventsQueued(display, QueuedAfterFlush) > 0) return true;
  pollfd connection{ConnectionNumber(display), POLLIN, 0};
  poll(&connection, 1, ms);
  return true;
}

}  // namespace

void idleBetweenUploads() {
  if (!viewer.lowCpu) {
    // The loop polls, but gives its processor to the threads that wait for one, for a
    // millisecond at a time; input still wakes it at once.
    if (processorsWanted()) waitForInput(1);
    return;
  }
  // The mouse handlers ask for no redraw; the polling design shows a drag at the next upload,
  // this one at once.
  if (viewMoved(viewer)) {
    requestRedraw();
    return;
  }
  const std::uint32_t waited = tickMs() - viewer.lastUploadTick;
  if (waited < kUploadIntervalMs) waitForInput(static_cast<int>(kUploadIntervalMs - waited));
}

void redrawAfterUpload(bool pictureChanged) {
  if (!viewer.lowCpu || redrawNeeded(viewer, pictureChanged)) requestRedraw();
}

void quitIfWindowGone() {
  Display* display = glXGetCurrentDisplay();
  if (display == nullptr || ourWindow == None) return;
  // A round trip about once a second, unless an error named the window: a still picture with
  // --low-cpu swaps nothing that could fail.
  if (!windowGone && ++checksSkipped < 16) return;
  checksSkipped = 0;
  windowGone = false;
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display, ourWindow, &attributes) == 0) quitViewer();
}

namespace {

// A source with nothing of its own to wake the viewer (a still, one being retried) is looked at
// this often; a key or a drag wakes it at once.
constexpr int kLongestSleepMs = 100;

bool spinStepDue(std::uint32_t now) {
  return viewer.spinStep != 0.0f && now - viewer.spinTick >= kUploadIntervalMs;
}

}  // namespace

void redrawOrSleep(bool pictureChanged) {
  const std::uint32_t now = tickMs();
  if (pictureChanged || spinStepDue(now) || viewMoved(viewer)) {
    requestRedraw();
    return;
  }
  Display* display = glXGetCurrentDisplay();
  // Events that Xlib has read already wait in its queue, where no descriptor shows them.
  if (display != nullptr && XEventsQueued(display, QueuedAfterFlush) > 0) return;
  int ms = kLongestSleepMs;
  if (viewer.spinStep != 0.0f) {
    ms = std::min<int>(ms, static_cast<int>(kUploadIntervalMs - (now - viewer.spinTick)));
  }
  awaitSource(viewer.capture, display != nullptr ? ConnectionNumber(display) : -1, ms);
}

void swapOncePerRefresh() {
  Display* display = glXGetCurrentDisplay();
  const GLXDrawable drawable = glXGetCurrentDrawable();
  if (display == nullptr || drawable == None) return;
  const char* extensions = glXQueryExtensionsString(display, DefaultScreen(display));
  const auto offers = [&](const char* name) {
    return extensions != nullptr && std::strstr(extensions, name) != nullptr;
  };
  const auto address = [](const char* name) {
    return glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name));
  };
  // The first of the three that the GL names; each sets the swaps to one a refresh.
  if (offers("GLX_EXT_swap_control")) {
    if (auto set =
            reinterpret_cast<void (*)(Display*, GLXDrawable, int)>(address("glXSwapIntervalEXT"))) {
      set(display, drawable, 1);
    }
  } else if (offers("GLX_MESA_swap_control")) {
    if (auto set = reinterpret_cast<int (*)(unsigned)>(address("glXSwapIntervalMESA"))) set(1);
  } else if (offers("GLX_SGI_swap_control")) {
    if (auto set = reinterpret_cast<int (*)(int)>(address("glXSwapIntervalSGI"))) set(1);
  }
}
