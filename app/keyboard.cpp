// Keyboard commands: zoom, view switch and quit.
#include <GL/freeglut.h>

#include <cstdlib>

#include "app/app.h"

float stepZoom(float zoom, int direction) {
  // Stepped in double and rounded back, so ten steps from 1.0 land one float ulp off 2.0.
  return static_cast<float>(static_cast<double>(zoom) + 0.1 * direction);
}

void quitViewer() {
  releaseSource(viewer.capture);
  glutDestroyWindow(viewer.window);
  // Without running the libraries' exit-time destructors: with a GStreamer source they took
  // about 150 ms more here, and GStreamer's own threads may still be stopping it.
  std::fflush(nullptr);
  std::_Exit(0);
}

void onKeyboard(unsigned char key, int, int) {
  switch (key) {
    case 27:  // Escape
      quitViewer();
    case '+':
      viewer.zoom = stepZoom(viewer.zoom, 1);
      break;
    case '-':
      viewer.zoom = stepZoom(viewer.zoom, -1);
      break;
    case 'v':
    case 'V':
      viewer.insideView = !viewer.insideView;
      break;
    default:
      break;
  }
  glutPostRedisplay();
}
