// Sends Escape to a window and prints the milliseconds until the window is gone: how fast the
// viewer answers a key, without the start-up of a tool like xdotool in the figure.
// Usage: lumivane_escape_reaction WINDOW_ID
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: lumivane_escape_reaction WINDOW_ID\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  const Window window = std::strtoul(argv[1], nullptr, 0);
  XSelectInput(display, window, StructureNotifyMask);
  XSync(display, False);
  XKeyEvent key{};
  key.type = KeyPress;
  key.display = display;
  key.window = window;
  key.root = DefaultRootWindow(display);
  key.same_screen = True;
  key.keycode = XKeysymToKeycode(display, XK_Escape);
  const auto sent = std::chrono::steady_clock::now();
  XSendEvent(display, window, True, KeyPressMask, reinterpret_cast<XEvent*>(&key));
  XFlush(display);
  XEvent event;
  do {
    XNextEvent(display, &event);
  } while (event.type != UnmapNotify && event.type != DestroyNotify);
  std::printf(
      "%.1f\n",
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
  return 0;
}
