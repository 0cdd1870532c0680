// What the viewer does on freeglut's X connection itself: the window's desktop identity, and
// the low-CPU mode's waits on the connection between uploads.
#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

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

void idleBetweenUploads() {
  if (!viewer.lowCpu) return;
  // The mouse handlers ask for no redraw; the polling design shows a drag at the next upload,
  // this one at once.
  if (viewMoved(viewer)) {
    requestRedraw();
    return;
  }
  Display* display = glXGetCurrentDisplay();
  if (display == nullptr) return;
  // Events that Xlib has already read sit in its queue, where poll cannot see them; this also
  // sends what is still buffered, so that nothing waits on our own requests.
  if (XEventsQueued(display, QueuedAfterFlush) > 0) return;
  const std::uint32_t waited = tickMs() - viewer.lastUploadTick;
  if (waited >= kUploadIntervalMs) return;
  pollfd connection{ConnectionNumber(display), POLLIN, 0};
  poll(&connection, 1, static_cast<int>(kUploadIntervalMs - waited));
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
