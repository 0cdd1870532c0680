// The command line: which source to open, or help and version.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/app.h"

namespace {

// An optional sign and at least one digit, nothing else (no blanks, no trailing letters).
bool isWholeNumber(const char* text, long* value) {
  const char* digits = (*text == '+' || *text == '-') ? text + 1 : text;
  if (*digits == '\0') return false;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
  }
  errno = 0;
  *value = std::strtol(text, nullptr, 10);
  return true;
}

// scheme://rest, the scheme being a letter followed by letters, digits, '+', '.' or '-'.
bool isStreamUrl(const std::string& text) {
  const size_t separator = text.find("://");
  if (separator == std::string::npos || separator == 0 || separator + 3 == text.size()) {
    return false;
  }
  if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (size_t i = 1; i < separator; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(c) && c != '+' && c != '.' && c != '-') return false;
  }
  return true;
}

bool isReadableFile(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode) && access(path, R_OK) == 0;
}

}  // namespace

Command earlyCommand(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      return Command::help;
    }
    if (std::strcmp(argv[i], "--version") == 0) return Command::version;
  }
  return Command::run;
}

Arguments parseArguments(int argc, const char* const* argv) {
  Arguments args;
  args.command = earlyCommand(argc, argv);
  if (args.command != Command::run) return args;
  if (argc > 2) {
    args.warning = "expected at most one argument, got " + std::to_string(argc - 1);
    return args;
  }
  if (argc < 2) return args;

  const char* arg = argv[1];
  long index = 0;
  if (isWholeNumber(arg, &index)) {
    // atoi would wrap a huge number into some other camera; refuse it instead.
    if (errno == ERANGE || index < INT_MIN || index > INT_MAX) {
      args.warning = std::string("camera index '") + arg + "' is out of range";
      return args;
    }
    args.source.cameraIndex = static_cast<int>(index);
  } else if (isStreamUrl(arg)) {
    args.source.kind = SourceKind::stream;
    args.source.location = arg;
  } else if (isReadableFile(arg)) {
    // Picture or video is decided when it is opened, by its contents rather than its name.
    args.source.kind = SourceKind::videoFile;
    args.source.location = arg;
  } else {
    args.warning = std::string("'") + arg + "' is neither a camera number nor a readable file";
  }
  return args;
}

const char* usageText() {
  return "Usage: lumivane [CAMERA | FILE | URL]\n"
         "Live viewer for 360-degree (equirectangular) video, drawn on a sphere.\n"
         "\n"
         "  CAMERA   camera index (default 0)\n"
         "  FILE     a video (played at its own rate, looping) or a picture (PNG, JPEG)\n"
         "  URL      a network stream, such as rtsp://host/path or http://host/video.mjpg\n"
         "\n"
         "Cameras and streams always show their newest frame. While nothing delivers a\n"
         "picture the sphere shows a test card (\"no camera\" or \"no picture\"), and the\n"
         "source is opened again every 2 seconds.\n"
         "\n"
         "The picture is painted for an eye inside the sphere: on the globe a panorama reads\n"
         "mirrored, as on a glass ball; press v to look from inside, where it reads true.\n"
         "\n"
         "Mouse:  left-button drag turns the sphere (the first press stops the spin)\n"
         "Keys:   + / -  zoom in / out\n"
         "        v      switch between the globe (outside) and the panorama (inside)\n"
         "        Esc    quit\n"
         "\n"
         "  -h, --help     show this help and exit\n"
         "      --version  show the version and exit\n";
}
