// The fixed GL state and the event handlers.
#include <GL/freeglut.h>

#include "app/app.h"
#include "render/render.h"

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
