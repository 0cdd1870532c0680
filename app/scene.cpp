// The fixed GL state and the event handlers.
#include <GL/freeglut.h>
#include <GL/glu.h>

#include "app/app.h"
#include "render/render.h"

void createSceneObjects() {
  viewer.quadric = gluNewQuadric();
  gluQuadricTexture(viewer.quadric, GL_TRUE);
  gluQuadricNormals(viewer.quadric, GLU_SMOOTH);
  // No image yet: the first one comes with the first upload.
  glGenTextures(1, &viewer.texture);
}

void initScene() {
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_NORMALIZE);
  glEnable(GL_COLOR_MATERIAL);
  glClearColor(0.0f, 0.0f, 0.0f, 0.0f);

  glutDisplayFunc(onDisplay);
  glutReshapeFunc(onReshape);
  glutKeyboardFunc(onKeyboard);
  glutIdleFunc(onIdle);
  glutMouseFunc(onMouse);
  glutMotionFunc(onMotion);
  glutMouseWheelFunc(onMouseWheel);
}
