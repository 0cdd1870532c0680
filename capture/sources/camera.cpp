// Cameras: what a V4L2 camera offers, read with the driver's own enumeration; the mode chosen
// from it; the reader that takes its newest frame through OpenCV and decodes only that one; and
// the list that --list-cameras prints.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <opencv2/imgproc.hpp>

#include "capture/sources/internal.h"

namespace {

// A camera that has delivered and then gives nothing for this long has stopped.
constexpr std::uint32_t kCameraStallMs = 3000;
// Below this rate a mode is not chosen by default if a larger rate is to be had at a smaller size.
constexpr double kLeastSmoothFps = 15.0;
// Device nodes looked at by --list-cameras and for a metadata node's camera.
constexpr int kMaxCameraNodes = 256;

constexpr std::uint32_t fourcc(const char (&text)[5]) {
  return static_cast<std::uint32_t>(text[0]) | static_cast<std::uint32_t>(text[1]) << 8 |
         static_cast<std::uint32_t>(text[2]) << 16 | static_cast<std::uint32_t>(text[3]) << 24;
}

// The formats the viewer reads, in order of preference among equals. `code` converts the
// driver's bytes to blue-green-red (-1: JPEG, decoded here; -2: OpenCV converts it itself).
struct Format {
  std::uint32_t fourcc;
  bool compressed;
  int code;
};
constexpr Format kFormats[] = {
    {fourcc("YUYV"), false, cv::COLOR_YUV2BGR_YUYV},
    {fourcc("UYVY"), false, cv::COLOR_YUV2BGR_UYVY},
    {fourcc("NV12"), false, cv::COLOR_YUV2BGR_NV12},
    {fourcc("NV21"), false, cv::COLOR_YUV2BGR_NV21},
    {fourcc("YU12"), false, cv::COLOR_YUV2BGR_I420},
    {fourcc("YV12"), false, cv::COLOR_YUV2BGR_YV12},
    {fourcc("BGR3"), false, -3},
    {fourcc("RGB3"), false, cv::COLOR_RGB2BGR},
    {fourcc("GREY"), false, cv::COLOR_GRAY2BGR},
    {fourcc("BA81"), false, -2},
    {fourcc("GBRG"), false, -2},
    {fourcc("Y16 "), false, -2},
    {fourcc("MJPG"), true, -1},
    {fourcc("JPEG"), true, -1},
};

const Format* findFormat(std::uint32_t code) {
  for (const Format& format : kFormats) {
    if (format.fourcc == code) return &format;
  }
  return nullptr;
}

// How good a mode is, other things equal: the preference order above.
// True when the viewer converts the driver's bytes itself, for the shown frame only. OpenCV hands
// raw frames over with rows padded to 4 bytes but fills them as the driver packs them, so a row
// that is not a multiple of 4 bytes (or chroma planes that are not) is left to OpenCV's own
// conversion, which reads the driver's layout.
bool convertedHere(const Format& format, const CameraMode& mode) {
  if (format.code == -1) return true;
  if (format.code == -2) return false;
  const std::uint32_t f = format.fourcc;
  if (f == fourcc("NV12") || f == fourcc("NV21") || f == fourcc("YU12") || f == fourcc("YV12")) {
    return mode.width % 8 == 0 && mode.height % 2 == 0;
  }
  const int bytes = f == fourcc("YUYV") || f == fourcc("UYVY") ? 2 : f == fourcc("GREY") ? 1 : 3;
  return mode.width * bytes % 4 == 0;
}

int rank(std::uint32_t code) {
  const Format* format = findFormat(code);
  return format == nullptr ? INT_MAX : static_cast<int>(format - kFormats);
}

std::int64_t area(const CameraMode& mode) {
  return std::int64_t{mode.width} * std::int64_t{mode.height};
}

// 29.97 counts as 30, and a request for 30 is met by 29.97.
bool sameRate(double a, double b) { return std::fabs(a - b) <= 0.01 * std::max(a, b); }

std::string sizeText(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

std::string rateText(double fps) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", fps);
  return text;
}

int retried(int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = ioctl(fd, request, argument);
  } while (result == -1 && errno == EINTR);
  return result;
}

// A V4L2 device node as the driver describes it.
struct Node {
  std::string problem;    // why it is not a camera that can be opened, or ""
  bool pictures = false;  // a video capture node, not a metadata or output one
  std::string card, driver, bus;
  std::vector<CameraMode> modes;
  std::vector<std::pair<std::uint32_t, std::string>> formats;  // FOURCC and the driver's name
};

std::string openProblem(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "permission denied; add yourself to the video group (sudo usermod -aG video $USER, "
             "then log in again)";
    case EBUSY:
      return "in use by another program";
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return "no such camera";
  }
  return std::strerror(error);
}

// The rates of one size, as 1/interval frames a second; a stepwise range gives its ends.
void readRates(int fd, std::uint32_t code, std::uint32_t sizeX, std::uint32_t sizeY,
               std::vector<CameraMode>* out) {
  if (sizeX == 0 || sizeY == 0 || sizeX > 65536 || sizeY > 65536) return;
  const int width = static_cast<int>(sizeX), height = static_cast<int>(sizeY);
  v4l2_frmivalenum interval{};
  interval.pixel_format = code;
  interval.width = sizeX;
  interval.height = sizeY;
  const auto add = [&](const v4l2_fract& fraction) {
    if (fraction.numerator > 0 && fraction.denominator > 0) {
      out->push_back(
          {code, width, height, static_cast<double>(fraction.denominator) / fraction.numerator});
    }
  };
  const std::size_t before = out->size();
  // The driver's answers are input too: a driver that never ends its list is cut short.
  for (interval.index = 0;
       interval.index < 16 && retried(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
       ++interval.index) {
    if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
      add(interval.discrete);
    } else {
      add(interval.stepwise.min);
      add(interval.stepwise.max);
      break;
    }
  }
  // A driver that lists no rates still streams at some rate.
  if (out->size() == before) out->push_back({code, width, height, 0.0});
}

// Reads what the node at `path` is and offers. With `claim`, checks too that no other program
// holds the camera, as a camera opened for streaming must not be held.
Node readNode(const std::string& path, bool claim) {
  Node node;
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    node.problem = openProblem(errno);
    return node;
  }
  v4l2_capability caps{};
  if (retried(fd, VIDIOC_QUERYCAP, &caps) != 0) {
    node.problem = "not a V4L2 camera";
    close(fd);
    return node;
  }
  const auto text = [](const unsigned char* bytes, std::size_t size) {
    return printableText(std::string(reinterpret_cast<const char*>(bytes),
                                     strnlen(reinterpret_cast<const char*>(bytes), size)));
  };
  node.card = text(caps.card, sizeof caps.card);
  node.driver = text(caps.driver, sizeof caps.driver);
  node.bus = text(caps.bus_info, sizeof caps.bus_info);
  const std::uint32_t device =
      (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? caps.device_caps : caps.capabilities;
  node.pictures = (device & V4L2_CAP_VIDEO_CAPTURE) != 0;
  v4l2_fmtdesc format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (format.index = 0;
       node.pictures && format.index < 32 && retried(fd, VIDIOC_ENUM_FMT, &format) == 0;
       ++format.index) {
    node.formats.emplace_back(format.pixelformat,
                              text(format.description, sizeof format.description));
    v4l2_frmsizeenum size{};
    size.pixel_format = format.pixelformat;
    for (size.index = 0; size.index < 64 && retried(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0;
         ++size.index) {
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        readRates(fd, format.pixelformat, size.discrete.width, size.discrete.height, &node.modes);
      } else {
        // A range: its largest and smallest sizes stand for it.
        readRates(fd, format.pixelformat, size.stepwise.max_width, size.stepwise.max_height,
                  &node.modes);
        readRates(fd, format.pixelformat, size.stepwise.min_width, size.stepwise.min_height,
                  &node.modes);
        break;
      }
    }
  }
  if (claim && node.pictures) {
    // Asking for no buffers changes nothing, but the driver refuses it while another program
    // holds the camera, which OpenCV's open would otherwise report only as a failure.
    v4l2_requestbuffers none{};
    none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    none.memory = V4L2_MEMORY_MMAP;
    if (retried(fd, VIDIOC_REQBUFS, &none) != 0 && errno == EBUSY) {
      node.problem = openProblem(EBUSY);
    }
  }
  close(fd);
  return node;
}

// The camera's picture node beside a metadata node: the capture node on the same bus.
std::string pictureNodeFor(const Node& node) {
  for (int n = 0; n < kMaxCameraNodes; ++n) {
    const Node other = readNode("/dev/video" + std::to_string(n), false);
    if (other.problem.empty() && other.pictures && other.bus == node.bus) {
      return "/dev/video" + std::to_string(n);
    }
  }
  return "";
}

// `path` with its symbolic links followed, as /dev/v4l/by-id/... names are.
std::string resolveLinks(std::string path) {
  for (int depth = 0; depth < 40; ++depth) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) break;
    std::string next(target, static_cast<std::size_t>(length));
    if (next[0] != '/') next = path.substr(0, path.rfind('/') + 1) + next;
    path = next;
  }
  return path;
}

std::string devicePath(const SourceChoice& choice) {
  return choice.location.empty() ? "/dev/video" + std::to_string(choice.cameraIndex)
                                 : resolveLinks(choice.location);
}

std::string formatList(const std::vector<std::pair<std::uint32_t, std::string>>& formats) {
  std::string names;
  for (const auto& format : formats)
    names += (names.empty() ? "" : ", ") + fourccText(format.first);
  return names;
}

class CameraReader final : public Reader {
 public:
  CameraReader(const SourceChoice& choice, SaidOnce& said, bool planes)
      : choice_(choice), said_(said), wantsPlanes_(planes) {}
  ~CameraReader() override {
    if (camera_ != nullptr) module_->closeCamera(camera_);
  }

  bool open() override {
    path_ = devicePath(choice_);
    const Node node = readNode(path_, true);
    if (!node.problem.empty()) {
      reason_ = node.problem;
      return false;
    }
    if (!node.pictures) {
      const std::string camera = pictureNodeFor(node);
      reason_ = camera.empty() ? "not a camera's picture node; lumivane --list-cameras shows them"
                               : "not a camera's picture node; its picture node is " + camera;
      return false;
    }
    std::string missing;
    const std::optional<CameraMode> mode = chooseCameraMode(node.modes, choice_.camera, &missing);
    if (!mode) {
      reason_ = node.formats.empty()
                    ? std::string("it offers no picture format")
                    : "it offers only " + formatList(node.formats) +
                          ", which a pipeline reads: lumivane 'v4l2src device=" + path_ +
                          " ! decodebin'";
      return false;
    }
    const std::string name = describeSource(choice_);
    if (!missing.empty()) {
      sayOnce(said_.mode, name + " does not offer " + missing + "; using " + describeMode(*mode));
    }
    module_ = openCvModule();
    if (module_ == nullptr) {
      reason_ = openCvModuleProblem();
      return false;
    }
    format_ = findFormat(mode->fourcc);
    CameraMode got;
    size_ = cv::Size(mode->width, mode->height);
    ownConversion_ = convertedHere(*format_, *mode);
    camera_ = module_->openCamera(path_.c_str(), &*mode, ownConversion_, &got);
    if (camera_ == nullptr) {
      reason_ = "OpenCV cannot open it";
      return false;
    }
    if (got.fourcc != mode->fourcc || got.width != mode->width || got.height != mode->height) {
      sayOnce(said_.warning, name + " was asked for " + describeMode(*mode) + " and gives " +
                                 describeMode(got) + "; showing what it gives");
      format_ = findFormat(got.fourcc);
      size_ = cv::Size(got.width, got.height);
      // Converted as it was asked for; a layout it did not ask for is not guessed.
      if (format_ == nullptr || convertedHere(*format_, got) != ownConversion_) {
        reason_ = "it gives " + describeMode(got) + ", which the viewer cannot read as asked";
        return false;
      }
    }
    return true;
  }

  ReadResult read(std::uint32_t) override {
    // A frame that an awaitFrame took is the newest unless more came since.
    int got = module_->newestCameraFrame(camera_, &raw_, 0);
    if (got == 0 && pending_) got = 1;
    pending_ = false;
    if (got < 0) {
      // An unplugged camera's node is gone: opening it again fails.
      const int fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
      reason_ = fd < 0 ? "unplugged" : "its frames cannot be read";
      if (fd >= 0) close(fd);
      return ReadResult::failed;
    }
    if (got == 0) return ReadResult::nothingNew;
    // A camera's first frame often comes out badly exposed.
    if (!skippedFirst_) {
      skippedFirst_ = true;
      return ReadResult::nothingNew;
    }
    return convert() ? ReadResult::frame : ReadResult::nothingNew;
  }

  std::uint32_t stallLimitMs() const override { return kCameraStallMs; }

  bool canAwaitFrames() const override { return true; }

  bool awaitFrame(int ms) override {
    if (pending_) return true;
    const int got = module_->newestCameraFrame(camera_, &raw_, ms);
    // A failure is found again, and said, by the next read.
    pending_ = got > 0;
    return got != 0;
  }

 private:
  // The newest frame, and only it, from the driver's bytes to blue-green-red, or for planes as
  // they came: YUYV and UYVY as they are, NV12 and I420 as their planes, JPEG decoded to its own.
  bool convert() {
    planar_ = false;
    if (!ownConversion_) {
      frame_ = raw_;
      return true;
    }
    // Frames larger than a texture go the blue-green-red way, to be scaled down.
    const bool planes = wantsPlanes_ && std::max(size_.width, size_.height) <= textureSideLimit();
    if (planes && asPlanes()) return true;
    switch (format_->code) {
      case -1:
        if (planes) {
          return decodeShownPlanes(raw_.data, raw_.total() * raw_.elemSize(), choice_, said_,
                                   storage_, planes_, frame_, &planar_, false);
        }
        return decodeShown(raw_.data, raw_.total() * raw_.elemSize(), choice_, said_, frame_,
                           nullptr, false);
      case -3:
        frame_ = raw_;
        return true;
      default:
        cv::cvtColor(raw_, frame_, format_->code);
        return true;
    }
  }

  // Raw frames whose rows the viewer reads itself, handed over as they are. Their colours are
  // BT.601 over the limited range, as OpenCV's conversion of them takes them.
  bool asPlanes() {
    const std::uint32_t f = format_->fourcc;
    PixelLayout layout;
    if (f == fourcc("YUYV")) {
      layout = PixelLayout::yuyv;
    } else if (f == fourcc("UYVY")) {
      layout = PixelLayout::uyvy;
    } else if (f == fourcc("NV12")) {
      layout = PixelLayout::nv12;
    } else if (f == fourcc("YU12")) {
      layout = PixelLayout::i420;
    } else {
      return false;
    }
    // Packed: height rows of 2 bytes a pixel; planar: luma rows, then chroma, in one block.
    const bool planarYuv = layout == PixelLayout::nv12 || layout == PixelLayout::i420;
    const int width = raw_.cols;
    const int height = planarYuv ? raw_.rows * 2 / 3 : raw_.rows;
    if (!raw_.isContinuous() || width < 2 || height < 2) return false;
    planes_ = Planes();
    planes_.layout = layout;
    planes_.width = width;
    planes_.height = height;
    planes_.data[0] = raw_.data;
    planes_.stride[0] = static_cast<int>(raw_.step);
    if (planarYuv) {
      const int chromaWidth = width / 2, chromaHeight = height / 2;
      planes_.data[1] = raw_.data + static_cast<std::size_t>(width) * height;
      planes_.stride[1] = layout == PixelLayout::nv12 ? width : chromaWidth;
      planes_.data[2] = planes_.data[1] + static_cast<std::size_t>(chromaWidth) * chromaHeight;
      planes_.stride[2] = chromaWidth;
    }
    planes_.matrix = ColourMatrix::bt601;
    planes_.fullRange = false;
    planes_.owner = std::make_shared<cv::Mat>(raw_);
    planar_ = true;
    return true;
  }

  SourceChoice choice_;
  SaidOnce& said_;
  bool wantsPlanes_ = false;
  bool pending_ = false;  // awaitFrame took a frame that read has yet to hand over
  cv::Size size_;         // pixels, of the frames the camera gives
  cv::Mat storage_;       // a JPEG's planes
  std::string path_;
  const OpenCvModule* module_ = nullptr;
  const Format* format_ = nullptr;
  bool ownConversion_ = false;  // the driver's bytes come over raw, converted here
  void* camera_ = nullptr;
  cv::Mat raw_;
  bool skippedFirst_ = false;
};

}  // namespace

bool isCameraPath(const std::string& path) {
  if (path.rfind("/dev/video", 0) == 0 || path.rfind("/dev/v4l/", 0) == 0) return true;
  struct stat info;
  return path.find('/') != std::string::npos && stat(resolveLinks(path).c_str(), &info) == 0 &&
         S_ISCHR(info.st_mode);
}

std::string fourccText(std::uint32_t code) {
  std::string text;
  for (int shift = 0; shift < 32; shift += 8) {
    const char c = static_cast<char>((code >> shift) & 0xFF);
    text += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::uint32_t fourccFromName(const std::string& name) {
  std::string lower;
  for (const char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::pair<const char*, std::uint32_t> kNames[] = {
      {"mjpeg", fourcc("MJPG")}, {"mjpg", fourcc("MJPG")}, {"jpeg", fourcc("JPEG")},
      {"yuyv", fourcc("YUYV")},  {"yuy2", fourcc("YUYV")}, {"uyvy", fourcc("UYVY")},
      {"nv12", fourcc("NV12")},  {"i420", fourcc("YU12")}, {"yu12", fourcc("YU12")},
      {"grey", fourcc("GREY")},  {"gray", fourcc("GREY")}, {"h264", fourcc("H264")},
      {"hevc", fourcc("HEVC")},  {"h265", fourcc("HEVC")}, {"rgb", fourcc("RGB3")},
  };
  for (const auto& known : kNames) {
    if (lower == known.first) return known.second;
  }
  // Four printable characters, padded with spaces as "Y16 " is.
  if (name.empty() || name.size() > 4) return 0;
  std::uint32_t code = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const char c = i < name.size() ? name[i] : ' ';
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ') return 0;
    code |= static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << (8 * i);
  }
  return code;
}

std::string describeMode(const CameraMode& mode) {
  return fourccText(mode.fourcc) + " " + sizeText(mode.width, mode.height) +
         (mode.fps > 0.0 ? " at " + rateText(mode.fps) + " fps" : "");
}

std::optional<CameraMode> chooseCameraMode(const std::vector<CameraMode>& offered,
                                           const CameraRequest& request, std::string* missing) {
  missing->clear();
  std::vector<std::string> notes;
  std::vector<CameraMode> modes;
  for (const CameraMode& mode : offered) {
    if (findFormat(mode.fourcc) != nullptr && mode.width > 0 && mode.height > 0) {
      modes.push_back(mode);
    }
  }
  if (modes.empty()) return std::nullopt;
  const auto keep = [&](auto predicate) {
    modes.erase(std::remove_if(modes.begin(), modes.end(),
                               [&](const CameraMode& m) { return !predicate(m); }),
                modes.end());
  };
  if (request.fourcc) {
    if (std::any_of(modes.begin(), modes.end(),
                    [&](const CameraMode& m) { return m.fourcc == *request.fourcc; })) {
      keep([&](const CameraMode& m) { return m.fourcc == *request.fourcc; });
    } else {
      notes.push_back(fourccText(*request.fourcc));
    }
  }
  // The size: the one asked for, or the nearest; else the largest at the rate asked for (or
  // the nearest offered rate); else the largest smooth one, or the largest.
  const auto farFrom = [](double fps, double asked) { return std::fabs(fps - asked); };
  CameraMode best = modes.front();
  if (request.size) {
    const auto distance = [&](const CameraMode& m) {
      return std::abs(std::int64_t{m.width} - request.size->width) +
             std::abs(std::int64_t{m.height} - request.size->height);
    };
    for (const CameraMode& m : modes) {
      if (distance(m) < distance(best) || (distance(m) == distance(best) && area(m) > area(best)))
        best = m;
    }
    if (distance(best) != 0) notes.push_back(sizeText(request.size->width, request.size->height));
  } else if (request.fps) {
    for (const CameraMode& m : modes) {
      if (farFrom(m.fps, *request.fps) < farFrom(best.fps, *request.fps)) best = m;
    }
    const double nearest = best.fps;
    for (const CameraMode& m : modes) {
      if (sameRate(m.fps, nearest) && area(m) > area(best)) best = m;
    }
  } else {
    bool anySmooth = false;
    for (const CameraMode& m : modes) anySmooth = anySmooth || m.fps >= kLeastSmoothFps * 0.99;
    bool found = false;
    for (const CameraMode& m : modes) {
      if (anySmooth && m.fps < kLeastSmoothFps * 0.99) continue;
      if (!found || area(m) > area(best)) best = m;
      found = true;
    }
  }
  keep([&](const CameraMode& m) { return m.width == best.width && m.height == best.height; });
  // The rate: the one asked for, or the nearest; else the highest.
  double rate = modes.front().fps;
  for (const CameraMode& m : modes) {
    if (request.fps ? farFrom(m.fps, *request.fps) < farFrom(rate, *request.fps) : m.fps > rate) {
      rate = m.fps;
    }
  }
  if (request.fps && !sameRate(rate, *request.fps)) {
    notes.push_back(rateText(*request.fps) + " fps at " + sizeText(best.width, best.height));
  }
  keep([&](const CameraMode& m) { return m.fps == rate; });
  // Raw where a raw format gives that size and rate: nothing to decode, nothing lost.
  best =
      *std::min_element(modes.begin(), modes.end(), [](const CameraMode& a, const CameraMode& b) {
        const Format* fa = findFormat(a.fourcc);
        const Format* fb = findFormat(b.fourcc);
        return fa->compressed != fb->compressed ? !fa->compressed : rank(a.fourcc) < rank(b.fourcc);
      });
  for (const std::string& note : notes) *missing += (missing->empty() ? "" : ", ") + note;
  return best;
}

std::string listCameras() {
  std::string out;
  for (int n = 0; n < kMaxCameraNodes; ++n) {
    const std::string path = "/dev/video" + std::to_string(n);
    const Node node = readNode(path, false);
    if (node.problem == openProblem(ENOENT) || node.problem == "not a V4L2 camera") continue;
    const std::string title = path + " (camera " + std::to_string(n) + ")";
    if (!node.problem.empty()) {
      out += title + ": " + node.problem + "\n";
      continue;
    }
    if (!node.pictures) continue;  // a metadata node beside a camera
    out += title + ": " + node.card + " (" + node.driver + ", " + node.bus + ")\n";
    for (const auto& format : node.formats) {
      out += "  " + fourccText(format.first) + " (" + format.second + "):";
      std::string sizes;
      const CameraMode* previous = nullptr;
      for (const CameraMode& mode : node.modes) {
        if (mode.fourcc != format.first) continue;
        const std::string rate = mode.fps > 0.0 ? rateText(mode.fps) : "?";
        // The rates of one size come together and follow it: "1920x960 at 30/15 fps".
        if (previous != nullptr && previous->width == mode.width &&
            previous->height == mode.height) {
          sizes.insert(sizes.size() - 4, "/" + rate);
        } else {
          sizes += ", " + sizeText(mode.width, mode.height) + " at " + rate + " fps";
        }
        previous = &mode;
      }
      out += sizes.empty() ? " no sizes listed\n" : " " + sizes.substr(2) + "\n";
    }
    std::string missing;
    const std::optional<CameraMode> mode = chooseCameraMode(node.modes, CameraRequest{}, &missing);
    out += mode ? "  opened as " + describeMode(*mode) + " unless asked otherwise\n"
                : "  none of its formats is read directly; use a pipeline: lumivane 'v4l2src "
                  "device=" +
                      path + " ! decodebin'\n";
  }
  return out.empty() ? "No camera found: no V4L2 capture device at /dev/video0 to /dev/video" +
                           std::to_string(kMaxCameraNodes - 1) + ".\n"
                     : out;
}

std::unique_ptr<Reader> makeCameraReader(const SourceChoice& choice, SaidOnce& said, bool planes) {
  return std::make_unique<CameraReader>(choice, said, planes);
}
