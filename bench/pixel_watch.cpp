// Watches one pixel of a window and prints the moment (steady clock, milliseconds) each time it
// turns red: the far end of the end-to-end delay that scripts/live-delay.sh measures.
// Usage: lumivane_pixel_watch WINDOW_ID X Y SECONDS
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: lumivane_pixel_watch WINDOW_ID X Y SECONDS\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  const Window window = std::strtoul(argv[1], nullptr, 0);
  const int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::duration<double>(std::atof(argv[4]));
  bool wasRed = false;
  while (Clock::now() < end) {
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (image != nullptr) {
      const unsigned long pixel = XGetPixel(image, 0, 0);
      const bool red = (pixel >> 16 & 255) > 180 && (pixel >> 8 & 255) < 80 && (pixel & 255) < 80;
      if (red && !wasRed) {
        std::printf(
            "red %.1f\n",
            std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count());
        std::fflush(stdout);
      }
      wasRed = red;
      XDestroyImage(image);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  XCloseDisplay(display);
  return 0;
}
