// The trackball's mouse handlers and the drag steps they drive on the viewer's state.
#include <GL/freeglut.h>

#include "app/app.h"
#include "trackball/trackball.h"

void composeDragRotation(const Quaternion& drag) {
  viewer.dragOrientation = quaternionProduct(drag, viewer.orientation);
}

void buildRotationMatrix() { viewer.rotationMatrix = rotationMatrixOf(viewer.dragOrientation); }

void updateDrag(int x, int y) {
  if (!viewer.dragging) return;
  // The drag is measured from the anchor and applied to the committed orientation each time,
  // so the turn never depends on how many motion events the window system delivered.
  // Differences in 64 bits: pointer positions far outside the window must not overflow.
  Quaternion drag;
  if (!dragRotation(static_cast<long long>(x) - viewer.anchorX,
                    static_cast<long long>(y) - viewer.anchorY, viewer.invWidth, viewer.invHeight,
                    &drag)) {
    return;
  }
  composeDragRotation(drag);
  buildRotationMatrix();
}

void commitDrag(int x, int y) {
  updateDrag(x, y);
  viewer.orientation = viewer.dragOrientation;
  viewer.dragging = 0;
}

void onMouse(int button, int state, int x, int y) {
  if (button != GLUT_LEFT_BUTTON) return;
  if (state == GLUT_DOWN) {
    viewer.spinStep = 0.0f;  // the first grab stops the automatic spin for good
    viewer.dragging = 1;
    viewer.anchorX = x;
    viewer.anchorY = y;
  } else if (state == GLUT_UP) {
    commitDrag(x, y);
  }
}

void onMotion(int x, int y) { updateDrag(x, y); }

// Registered so that freeglut does not turn wheel turns into button 3 and 4 presses.
void onMouseWheel(int, int, int, int) {}
