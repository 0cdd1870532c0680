// Lumivane: a live viewer for 360-degree video, drawn on a sphere that the mouse turns.
#include <GL/freeglut.h>

#include <cstdio>
#include <string>

#include "app/app.h"

int main(int argc, char** argv) {
  // Help and version need no display, so they are answered before the window system starts.
  switch (earlyCommand(argc, argv)) {
    case Command::help:
      std::fputs(usageText(), stdout);
      return 0;
    case Command::version:
      std::printf("lumivane %s\n", LUMIVANE_VERSION);
      return 0;
    case Command::run:
      break;
  }
  prepareCapture();

  // Create the window; freeglut takes its own options out of the command line first. The size
  // is given before, so that a size from -geometry overrides it.
  glutInitWindowSize(640, 480);
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
  viewer.window = glutCreateWindow("Lumivane - Brackwell");
  nameWindow();

  // Open the source named by what is left of the command line.
  const Arguments args = parseArguments(argc, argv);
  viewer.lowCpu = args.lowCpu;
  std::string warning;  // all of it goes into the one line that opening the source writes
  for (const std::string& w : args.warnings) warning += (warning.empty() ? "" : "; ") + w;
  openSource(viewer.capture, args.source, tickMs(), warning);
  viewer.lastUploadTick = tickMs();

  // Set up the scene: the sphere's quadric, the picture's texture, the GL state, the handlers.
  createSceneObjects();
  initScene();

  // Run until Escape or the window is closed.
  glutMainLoop();

  // Clean up, for when the loop returns.
  releaseSource(viewer.capture);
  gluDeleteQuadric(viewer.quadric);
  return 0;
}
