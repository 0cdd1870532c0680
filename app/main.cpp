// Lumivane: a live viewer for 360-degree video, drawn on a sphere that the mouse turns.
#include <GL/freeglut.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app/app.h"

namespace {

// The window's size where -geometry gives none, pixels.
constexpr unsigned kWindowWidth = 640, kWindowHeight = 480;

// freeglut takes a -geometry's width and height even where it gives none (a position alone, or
// text it cannot read), whatever XParseGeometry left in them: a window of any size, or a crash
// in the GL. So it is handed each one whole, with the default size where none is given, and
// one it cannot read not at all. Only the first `*count` arguments are freeglut's.
void completeGeometry(int* count, char** argv) {
  static std::deque<std::string> completed;  // what argv points to until freeglut has read it
  int kept = 1;
  for (int i = 1; i < *count; ++i) {
    if (std::strcmp(argv[i], "-geometry") != 0 || i + 1 == *count) {
      argv[kept++] = argv[i];
      continue;
    }
    char* option = argv[i++];
    int x = 0, y = 0;
    unsigned width = kWindowWidth, height = kWindowHeight;
    const int given = XParseGeometry(argv[i], &x, &y, &width, &height);
    if (given == NoValue) {
      std::fprintf(stderr, "lumivane: -geometry '%s' is not WxH+X+Y; ignoring it\n",
                   printableText(argv[i]).c_str());
      continue;
    }
    // A size beyond int would read back as negative, and escape the fit to the screen.
    std::string text = std::to_string(std::min(width, unsigned{INT_MAX})) + "x" +
                       std::to_string(std::min(height, unsigned{INT_MAX}));
    // A negative offset is from the right or bottom edge, -0 included.
    const auto offset = [&](int value, int negative) {
      return (given & negative ? "-" : "+") +
             std::to_string(given & negative ? -static_cast<long long>(value) : value);
    };
    if (given & XValue) text += offset(x, XNegative);
    if (given & YValue) text += offset(y, YNegative);
    argv[kept++] = option;
    argv[kept++] = completed.emplace_back(text).data();
  }
  *count = kept;
}

// freeglut takes its options from anywhere in the command line; after "--" everything is ours,
// so it is shown only what comes before, and the rest is put back behind what it left.
void startWindowSystem(int* argc, char** argv) {
  int options = 1;
  while (options < *argc && std::strcmp(argv[options], "--") != 0) ++options;
  const std::vector<char*> rest(argv + options, argv + *argc);
  completeGeometry(&options, argv);
  glutInit(&options, argv);
  std::copy(rest.begin(), rest.end(), argv + options);
  *argc = options + static_cast<int>(rest.size());
  argv[*argc] = nullptr;
}

// A -geometry size of 0 is refused by X, and one far beyond the screen makes the GL fail; the
// window gets a size between one pixel and the screen's.
void fitWindowToScreen() {
  const int width = glutGet(GLUT_INIT_WINDOW_WIDTH);
  const int height = glutGet(GLUT_INIT_WINDOW_HEIGHT);
  if (width < 0 || height < 0) return;  // no size asked for: the window system chooses
  const int fitWidth = std::clamp(width, 1, std::max(1, glutGet(GLUT_SCREEN_WIDTH)));
  const int fitHeight = std::clamp(height, 1, std::max(1, glutGet(GLUT_SCREEN_HEIGHT)));
  if (fitWidth == width && fitHeight == height) return;
  std::fprintf(stderr, "lumivane: a window of %dx%d pixels does not fit the screen; using %dx%d\n",
               width, height, fitWidth, fitHeight);
  glutInitWindowSize(fitWidth, fitHeight);
}

}  // namespace

int main(int argc, char** argv) {
  // Help, version and the cameras need no display, so they are answered before the window
  // system starts.
  switch (earlyCommand(argc, argv)) {
    case Command::help:
      std::fputs(usageText(), stdout);
      return 0;
    case Command::version:
      std::printf("lumivane %s\n", LUMIVANE_VERSION);
      return 0;
    case Command::listCameras:
      std::fputs(listCameras().c_str(), stdout);
      return 0;
    case Command::run:
      break;
  }
  prepareCapture();

  // Create the window; freeglut takes its own options out of the command line first. The size
  // is given before, so that a size from -geometry overrides it.
  glutInitWindowSize(640, 480);
  startWindowSystem(&argc, argv);
  fitWindowToScreen();
  glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
  viewer.window = glutCreateWindow("Lumivane - Brackwell");
  nameWindow();

  // Open the source named by what is left of the command line.
  const Arguments args = parseArguments(argc, argv);
  viewer.lowCpu = args.lowCpu;
  // --gpu: frames in their own layout, drawn by the shader as they come, where the GL can.
  if (args.gpu && startGpuDrawing(viewer.gpu)) {
    viewer.capture.wantsPlanes = true;
    swapOncePerRefresh();
  }
  std::string warning;  // all of it goes into the one line that opening the source writes
  for (const std::string& w : args.warnings) warning += (warning.empty() ? "" : "; ") + w;
  openSource(viewer.capture, args.source, tickMs(), warning);
  viewer.lastUploadTick = viewer.spinTick = tickMs();

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
