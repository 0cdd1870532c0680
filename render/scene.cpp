// Reshape and display handlers, and the textured sphere they draw.
#include <GL/freeglut.h>
#include <GL/glu.h>

#include "app/app.h"
#include "render/render.h"

void onReshape(int width, int height) {
  const WindowMetrics metrics = windowMetrics(width, height);
  viewer.invWidth = metrics.invWidth;
  viewer.invHeight = metrics.invHeight;
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(kFieldOfViewDeg, metrics.aspect, kNearPlane, kFarPlane);
}

void drawSphere() {
  // The texture modulates the current colour: white shows the picture as it is; a source that
  // stopped delivering leaves its last picture up, dimmed so that nobody takes it for live.
  const float level = viewer.capture.state == SourceState::stale ? kStaleBrightness : 1.0f;
  if (viewer.gpu.on && viewer.gpu.showingPlanes) {
    // The same turns as the quadric takes; the shader reads them back for its rays.
    glRotatef(90.0f, 1.0f, 0.0f, 0.0f);
    glRotatef(viewer.spinAngle, 0.0f, 0.0f, 1.0f);
    drawPlanes(viewer.gpu, level);
    return;
  }
  glColor3f(level, level, level);
  glEnable(GL_TEXTURE_2D);
  glBindTexture(GL_TEXTURE_2D, viewer.texture);
  // No mipmaps are ever built, so the default mipmapping minifier would leave the texture
  // incomplete and the sphere white.
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  // The quadric's poles lie on its z axis: stand it upright, the picture's first row on top,
  // then spin it about that upright axis.
  glRotatef(90.0f, 1.0f, 0.0f, 0.0f);
  glRotatef(viewer.spinAngle, 0.0f, 0.0f, 1.0f);
  gluQuadricTexture(viewer.quadric, GL_TRUE);
  gluSphere(viewer.quadric, kSphereRadius, kSphereSlices, kSphereStacks);
  glDisable(GL_TEXTURE_2D);
}

void drawScene() {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  // Outside, the globe sits 16 units ahead; inside, the eye is one unit below its centre.
  if (viewer.insideView) {
    glTranslatef(0.0f, 1.0f, 0.0f);
  } else {
    glTranslatef(0.0f, 1.0f, -16.0f);
  }
  // The trackball turns the sphere about its own centre, in screen axes.
  glMultMatrixd(viewer.rotationMatrix.m);
  glScalef(viewer.zoom, viewer.zoom, 1.0f);
  drawSphere();
}

void onDisplay() {
  // The spin advances before drawing, so the very first frame is already 2 degrees along. With
  // --gpu redraws come with each frame, as often as it brings them, so the spin goes by time.
  if (viewer.gpu.on) {
    const std::uint32_t now = tickMs();
    viewer.spinAngle =
        advanceSpinOverTime(viewer.spinAngle, viewer.spinStep, now - viewer.spinTick);
    viewer.spinTick = now;
  } else {
    viewer.spinAngle = advanceSpin(viewer.spinAngle, viewer.spinStep);
  }
  drawScene();
  glutSwapBuffers();
}
