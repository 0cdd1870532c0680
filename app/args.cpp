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

// An optional sign and at least one digit, nothing else: a camera, even if a file has that name.
bool isWholeNumber(const char* text) {
  const char* digits = (*text == '+' || *text == '-') ? text + 1 : text;
  if (*digits == '\0') return false;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
  }
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

namespace {

// --dual-fisheye or --dual-fisheye=FOV. A field of view that cannot be used falls back to the
// default with a line, as a bad source falls back to camera 0: the viewer still starts.
void readFisheyeOption(const std::string& arg, Arguments* args) {
  const std::string name = "--dual-fisheye";
  args->source.dualFisheyeFov = kDefaultFisheyeFovDeg;
  if (arg.size() == name.size()) return;
  const std::string text = arg.substr(name.size() + 1);
  char* end = nullptr;
  errno = 0;
  const double fov = std::strtod(text.c_str(), &end);
  if (!text.empty() && *end == '\0' && errno == 0 && fov >= kMinFisheyeFovDeg &&
      fov <= kMaxFisheyeFovDeg) {
    args->source.dualFisheyeFov = fov;
    return;
  }
  args->warnings.push_back("--dual-fisheye=" + text + ": the field of view must be " +
                           std::to_string(static_cast<int>(kMinFisheyeFovDeg)) + " to " +
                           std::to_string(static_cast<int>(kMaxFisheyeFovDeg)) +
                           " degrees; using " +
                           std::to_string(static_cast<int>(kDefaultFisheyeFovDeg)));
}

// Anything else is a camera number read as atoi reads it: leading blanks skipped, the digits
// taken, the rest ignored (and named).
void readCameraText(const char* arg, Arguments* args) {
  const char* start = arg;
  while (std::isspace(static_cast<unsigned char>(*start))) ++start;
  char* end = nullptr;
  errno = 0;
  const long index = std::strtol(start, &end, 10);
  if (end == start) {
    args->warnings.push_back(std::string("'") + arg +
                             "' is not a camera number, a readable file or a URL");
    return;
  }
  // atoi would wrap a huge number into some other camera; refuse it instead.
  if (errno == ERANGE || index < INT_MIN || index > INT_MAX) {
    args->warnings.push_back(std::string("camera index '") + arg + "' is out of range");
    return;
  }
  args->source.cameraIndex = static_cast<int>(index);
  if (*end != '\0') {
    args->warnings.push_back(std::string("ignoring '") + end + "' after camera number " +
                             std::to_string(index));
  }
}

}  // namespace

Arguments parseArguments(int argc, const char* const* argv) {
  Arguments args;
  args.command = earlyCommand(argc, argv);
  if (args.command != Command::run) return args;
  // Options come first; the source, if any, after them.
  int first = 1;
  for (; first < argc && std::strncmp(argv[first], "--", 2) == 0 && argv[first][2] != '\0';
       ++first) {
    const std::string option = argv[first];
    if (option == "--dual-fisheye" || option.rfind("--dual-fisheye=", 0) == 0) {
      readFisheyeOption(option, &args);
    } else {
      args.warnings.push_back("unknown option '" + option + "' ignored");
    }
  }
  const int count = argc - first;
  if (count > 1) {
    args.warnings.push_back("expected at most one source, got " + std::to_string(count));
    return args;
  }
  if (count == 0) return args;

  const char* arg = argv[first];
  if (isPipeline(arg)) {
    args.source.kind = SourceKind::pipeline;
    args.source.location = arg;
  } else if (isStreamUrl(arg)) {
    args.source.kind = SourceKind::stream;
    args.source.location = arg;
  } else if (!isWholeNumber(arg) && isReadableFile(arg)) {
    // Picture or video is decided when it is opened, by its contents rather than its name.
    args.source.kind = SourceKind::videoFile;
    args.source.location = arg;
  } else {
    readCameraText(arg, &args);
  }
  return args;
}

const char* usageText() {
  return "Usage: lumivane [--dual-fisheye[=FOV]] [CAMERA | FILE | URL | PIPELINE]\n"
         "Live viewer for 360-degree (equirectangular) video, drawn on a sphere.\n"
         "\n"
         "  CAMERA   camera index (default 0), read through V4L2\n"
         "  FILE     a picture (PNG, JPEG), or a video played through GStreamer on its own\n"
         "           timestamps and looped\n"
         "  URL      a stream read through GStreamer at its newest frame: http(s), rtsp, rtmp,\n"
         "           udp, HLS, tcp://host:port (raw MPEG-TS or MJPEG) or file://\n"
         "  PIPELINE a GStreamer pipeline (text with ' ! '), such as\n"
         "           'v4l2src ! image/jpeg,width=3840,height=1920 ! jpegdec'; run as written,\n"
         "           with '! videoconvert ! appsink' added unless it ends in an appsink\n"
         "  Any other text is a camera number as atoi reads it ('12abc' is camera 12).\n"
         "\n"
         "  --dual-fisheye[=FOV]  the frames hold two fisheye circles side by side (front lens\n"
         "                        on the right, as FFmpeg's v360 dfisheye); FOV is each lens's\n"
         "                        field of view in degrees, 150 to 270 (default 190)\n"
         "\n"
         "Cameras and streams always show their newest frame; the window never waits for\n"
         "one. While nothing delivers a picture the sphere shows a test card (\"no camera\"\n"
         "or \"no picture\"); a source that fails, or gives no first frame in 10 seconds,\n"
         "is opened again every 2 seconds. A pipeline that ends keeps its last picture.\n"
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
