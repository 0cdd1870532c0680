// Talks to the X server as a window manager would; kept apart because Xlib's macros clash
// with GoogleTest's names.
#pragma once

#include <string>

// Asks the window (an X id, in decimal) to close, as a title bar's close button does.
bool sendDeleteWindow(const std::string& window);
