// Watches one pixel of a window and prints the moment (steady clock, milliseconds) each time it
// turns red ("red T"), and the first time it changes at all ("shown T"): the far end of the
// end-to-end delay that scripts/live-delay.sh measures. With
// "changes", counts how often a 16 by 16 patch there changes instead, and prints the changes a
// second: the new pictures a player shows, for scripts/players.sh. With "held", prints the
// longest time in milliseconds that the patch stayed the same between two changes: the longest a
// picture was held, for scripts/live-delay.sh.
// Usage: lumivane_pixel_watch WINDOW_ID X Y SECONDS [changes|held]
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  const bool held = argc == 6 && std::strcmp(argv[5], "held") == 0;
  if (argc != 5 && !(argc == 6 && (held || std::strcmp(argv[5], "changes") == 0))) {
    std::fprintf(stderr, "usage: lumivane_pixel_watch WINDOW_ID X Y SECONDS [changes|held]\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  const Window window = std::strtoul(argv[1], nullptr, 0);
  const int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::duration<double>(std::atof(argv[4]));
  if (argc == 6) {
    const auto start = Clock::now();
    std::vector<char> last;
    long changes = 0;
    Clock::time_point changed{};
    double longest = 0;
    while (Clock::now() < end) {
      XImage* image = XGetImage(display, window, x - 8, y - 8, 16, 16, AllPlanes, ZPixmap);
      if (image != nullptr) {
        const std::vector<char> patch(image->data, image->data + image->bytes_per_line * 16);
        if (!last.empty() && patch != last) {
          const auto now = Clock::now();
          if (changes > 0) {
            longest =
                std::max(longest, std::chrono::duration<double, std::milli>(now - changed).count());
          }
          changed = now;
          ++changes;
        }
        last = patch;
        XDestroyImage(image);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (held) {
      std::printf("%.0f\n", longest);
    } else {
      std::printf("%.1f\n", changes / std::chrono::duration<double>(Clock::now() - start).count());
    }
    XCloseDisplay(display);
    return 0;
  }
  bool wasRed = false, shown = false, sampled = false;
  unsigned long first = 0;
  while (Clock::now() < end) {
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (image != nullptr) {
      const unsigned long pixel = XGetPixel(image, 0, 0);
      // The first change marks the first picture: a red before it is the start, not a flash.
      if (sampled && !shown && pixel != first) {
        shown = true;
        std::printf(
            "shown %.1f\n",
            std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count());
      }
      if (!sampled) first = pixel, sampled = true;
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
