// A camera at the kernel interface, for tests: preloaded (LD_PRELOAD=lumivane_fake_camera.so), it
// answers V4L2's calls for one device path as uvcvideo and videobuf2 do; every other call passes
// through. Its environment:
//   LUMIVANE_FAKE_CAMERA=/dev/videoN     the node it answers for (unset: it does nothing at all)
//   LUMIVANE_FAKE_CAMERA_META=PATH       the metadata node uvcvideo adds beside the camera
//   LUMIVANE_FAKE_CAMERA_MODES=LIST      "FOURCC:WxH@FPS[/FPS...] ..." (default MJPG:1920x960@30)
//   LUMIVANE_FAKE_CAMERA_NAME=TEXT       the card's name (default "Lumivane Test Camera")
//   LUMIVANE_FAKE_CAMERA_FRAMES=DIR      one frame a mode, FOURCC-WxH.bin, and FOURCC-WxH-flash.bin
//   LUMIVANE_FAKE_CAMERA_FLASH_MS=N      frames captured while (realtime ms / N) is odd use -flash
//   LUMIVANE_FAKE_CAMERA_DAMAGE_EVERY=K  every K-th frame delivered is cut to half its bytes
//   LUMIVANE_FAKE_CAMERA_UNPLUGGED=PATH  unplugged while PATH exists; descriptors open then die
//   LUMIVANE_FAKE_CAMERA_DENY=1          opening the nodes fails with EACCES
//   LUMIVANE_FAKE_CAMERA_LOCK=PATH       flock()ed so that "busy" holds across processes
//                                        (default /tmp/lumivane-fake-camera-<minor>.lock)
// It interposes what the viewer, OpenCV's V4L2 back end and FFmpeg's v4l2 input call on a camera:
// open, open64, close, ioctl, poll, select and stat. mmap() needs nothing: each file is a memfd
// that holds its buffers.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/version.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr unsigned kMaxBuffers = 32;  // VB2_MAX_FRAME
constexpr std::int64_t kSecond = 1000000000;
// A wait looks again this often at what another thread may have queued, and at the plug.
constexpr std::int64_t kSliceNs = 20000000;
constexpr int kNotOurs = -2;

// The next definitions, each looked up once: all of them as the settings are read, so that no
// lookup (which takes the loader's lock) happens while g_mutex is held.
#define REAL(name) real_##name()
#define DEFINE_REAL(name)                                                                   \
  decltype(&::name) real_##name() {                                                         \
    static auto* const real = reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name)); \
    return real;                                                                            \
  }
#define FOR_EACH_REAL(X) X(open) X(open64) X(close) X(ioctl) X(poll) X(select) X(stat)
FOR_EACH_REAL(DEFINE_REAL)
#define RESOLVE_REAL(name) real_##name();

std::int64_t now(clockid_t clock = CLOCK_MONOTONIC) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * kSecond + t.tv_nsec;
}

int fail(int error) { return errno = error, -1; }

// The formats the viewer reads and the metadata node's, as the v4l2 core names them, with their
// bits a pixel (0: compressed). Any other counts as 16 bits and is described by its code.
struct Kind {
  std::uint32_t fourcc;
  unsigned bpp;
  const char* description;
};
constexpr Kind kKinds[] = {
    {V4L2_PIX_FMT_MJPEG, 0, "Motion-JPEG"},
    {V4L2_PIX_FMT_JPEG, 0, "JFIF JPEG"},
    {V4L2_PIX_FMT_H264, 0, "H.264"},
    {V4L2_PIX_FMT_YUYV, 16, "YUYV 4:2:2"},
    {V4L2_PIX_FMT_UYVY, 16, "UYVY 4:2:2"},
    {V4L2_PIX_FMT_NV12, 12, "Y/UV 4:2:0"},
    {V4L2_PIX_FMT_NV21, 12, "Y/VU 4:2:0"},
    {V4L2_PIX_FMT_YUV420, 12, "Planar YUV 4:2:0"},
    {V4L2_PIX_FMT_YVU420, 12, "Planar YVU 4:2:0"},
    {V4L2_PIX_FMT_GREY, 8, "8-bit Greyscale"},
    {V4L2_PIX_FMT_Y16, 16, "16-bit Greyscale"},
    {V4L2_PIX_FMT_RGB24, 24, "24-bit RGB 8-8-8"},
    {V4L2_PIX_FMT_BGR24, 24, "24-bit BGR 8-8-8"},
    {V4L2_PIX_FMT_SBGGR8, 8, "8-bit Bayer BGBG/GRGR"},
    {V4L2_PIX_FMT_SGBRG8, 8, "8-bit Bayer GBGB/RGRG"},
    {V4L2_META_FMT_UVC, 8, "UVC Payload Header Metadata"},
};
const Kind* kind(std::uint32_t fourcc) {
  const auto is = [&](const Kind& k) { return k.fourcc == fourcc; };
  const Kind* k = std::find_if(std::begin(kKinds), std::end(kKinds), is);
  return k == std::end(kKinds) ? nullptr : k;
}
unsigned bpp(std::uint32_t fourcc) { return kind(fourcc) != nullptr ? kind(fourcc)->bpp : 16; }
bool compressed(std::uint32_t fourcc) { return bpp(fourcc) == 0; }

std::string fourccText(std::uint32_t fourcc) {
  std::string text;
  for (int shift = 0; shift < 32; shift += 8) text += static_cast<char>((fourcc >> shift) & 0xFF);
  return text.substr(0, text.find_last_not_of(std::string(" \0", 2)) + 1);
}

struct Mode {
  std::uint32_t fourcc, width, height;
  std::vector<std::uint32_t> rates;
  std::vector<char> frames[2];  // the ordinary one and the flash, empty where there is none
};

struct Config {
  bool active = false, deny = false;
  std::string camera, meta, name, unplugged, lock;
  std::vector<Mode> modes;
  std::vector<std::uint32_t> formats;  // in order of first appearance
  std::int64_t flashMs = 0, damageEvery = 0;
};

// One open file of a node: what the kernel keeps in its struct file, and the stream it owns
// while it holds the camera.
struct Fake {
  int fd = -1, lockFd = -1;  // the camera is this file's while lockFd is held
  bool meta = false, dead = false, streaming = false;
  bool waitingForBuffers = true;  // vb2: no QBUF since REQBUFS or STREAMOFF
  std::size_t stride = 0;
  std::vector<v4l2_buffer> buffers;  // QUEUED and DONE in their flags as vb2 has them
  std::deque<unsigned> queued, done;
  std::int64_t start = 0, startReal = 0, nextTick = 0, firstTick = 0, fps = 1, delivered = 0;
};

std::mutex g_mutex;
std::map<int, Fake> g_fakes;
std::atomic<std::size_t> g_count{0};  // g_fakes.size(), read without the lock
std::size_t g_mode = 0;  // the stream's format, shared by all files of the node, as in the driver
std::uint32_t g_rate = 0;

unsigned trailingNumber(const std::string& path) {
  return std::strtoul(path.c_str() + path.find_last_not_of("0123456789") + 1, nullptr, 10);
}

std::size_t rawSize(const Mode& m) { return std::size_t{m.width} * m.height * bpp(m.fourcc) / 8; }

[[noreturn]] void badModes(const std::string& text) {
  std::fprintf(stderr, "lumivane_fake_camera: cannot read LUMIVANE_FAKE_CAMERA_MODES=\"%s\"\n",
               text.c_str());
  _exit(2);
}

Config readConfig() {
  Config c;
  const auto env = [](const char* name, const char* otherwise = "") {
    const char* value = std::getenv(name);
    return std::string(value != nullptr && *value != 0 ? value : otherwise);
  };
  c.camera = env("LUMIVANE_FAKE_CAMERA");
  if (c.camera.empty()) return c;
  c.active = true;
  c.meta = env("LUMIVANE_FAKE_CAMERA_META");
  c.name = env("LUMIVANE_FAKE_CAMERA_NAME", "Lumivane Test Camera");
  c.unplugged = env("LUMIVANE_FAKE_CAMERA_UNPLUGGED");
  c.deny = env("LUMIVANE_FAKE_CAMERA_DENY") == "1";
  c.flashMs = std::atoll(env("LUMIVANE_FAKE_CAMERA_FLASH_MS", "0").c_str());
  c.damageEvery = std::atoll(env("LUMIVANE_FAKE_CAMERA_DAMAGE_EVERY", "0").c_str());
  c.lock = env(
      "LUMIVANE_FAKE_CAMERA_LOCK",
      ("/tmp/lumivane-fake-camera-" + std::to_string(trailingNumber(c.camera)) + ".lock").c_str());
  const std::string frames = env("LUMIVANE_FAKE_CAMERA_FRAMES");
  std::istringstream words(env("LUMIVANE_FAKE_CAMERA_MODES", "MJPG:1920x960@30"));
  for (std::string word; words >> word;) {
    Mode m{};
    char code[5] = "    ";
    int used = 0;
    if (std::sscanf(word.c_str(), "%4[^:]:%ux%u@%n", code, &m.width, &m.height, &used) != 3 ||
        used == 0 || m.width == 0 || m.height == 0) {
      badModes(word);
    }
    std::replace(code, code + 4, '\0', ' ');
    m.fourcc = v4l2_fourcc(code[0], code[1], code[2], code[3]);
    std::istringstream rates(word.substr(used));
    for (std::string rate; std::getline(rates, rate, '/');) {
      char* end = nullptr;
      m.rates.push_back(static_cast<std::uint32_t>(std::strtoul(rate.c_str(), &end, 10)));
      if (*end != 0 || m.rates.back() == 0) badModes(word);
    }
    if (m.rates.empty()) badModes(word);
    // Read once. A missing frame is zeros, so that a test that forgot one sees garbage turned
    // away rather than a crash.
    for (int flash = 0; flash < 2 && !frames.empty(); ++flash) {
      std::ifstream in(frames + "/" + fourccText(m.fourcc) + "-" + std::to_string(m.width) + "x" +
                           std::to_string(m.height) + (flash ? "-flash" : "") + ".bin",
                       std::ios::binary);
      m.frames[flash].assign(std::istreambuf_iterator<char>(in), {});
    }
    if (m.frames[0].empty()) m.frames[0].resize(compressed(m.fourcc) ? 1024 : rawSize(m));
    if (std::count(c.formats.begin(), c.formats.end(), m.fourcc) == 0) {
      c.formats.push_back(m.fourcc);
    }
    c.modes.push_back(std::move(m));
  }
  if (c.modes.empty()) badModes("");
  g_rate = c.modes[0].rates[0];
  FOR_EACH_REAL(RESOLVE_REAL)
  // A child forked while another thread held the lock would otherwise never get it.
  pthread_atfork([] { g_mutex.lock(); }, [] { g_mutex.unlock(); }, [] { g_mutex.unlock(); });
  return c;
}

const Config& cfg() {
  static const Config config = readConfig();
  return config;
}

// The rest runs with g_mutex held.

Fake* find(int fd) {
  const auto it = g_fakes.find(fd);
  return it == g_fakes.end() ? nullptr : &it->second;
}

const Mode& current() { return cfg().modes[g_mode]; }

// Like many cameras' dwMaxVideoFrameSize: two bytes a pixel for JPEG, though never less than
// the frame given.
std::uint32_t sizeImage(const Mode& m) {
  if (!compressed(m.fourcc)) return static_cast<std::uint32_t>(rawSize(m));
  return static_cast<std::uint32_t>(
      std::max({std::size_t{m.width} * m.height * 2, m.frames[0].size(), m.frames[1].size()}));
}

void fillPix(v4l2_pix_format* p, const Mode& m) {
  *p = {};
  p->width = m.width;
  p->height = m.height;
  p->pixelformat = m.fourcc;
  p->field = V4L2_FIELD_NONE;
  // The 12-bit formats are the planar 4:2:0 ones, whose lines are those of their luma plane.
  p->bytesperline = bpp(m.fourcc) == 12 ? m.width : rawSize(m) / m.height;  // 0 if compressed
  p->sizeimage = sizeImage(m);
  p->colorspace = V4L2_COLORSPACE_SRGB;
  p->priv = V4L2_PIX_FMT_PRIV_MAGIC;
}

// uvc_v4l2_try_format: an unknown format becomes the first; the size is the one whose area
// differs least from the one asked for.
std::size_t tryFormat(v4l2_pix_format* p) {
  const Config& c = cfg();
  const std::uint32_t fourcc = std::count(c.formats.begin(), c.formats.end(), p->pixelformat)
                                   ? p->pixelformat
                                   : c.formats[0];
  std::size_t best = 0;
  std::int64_t least = INT64_MAX;
  for (std::size_t i = 0; i < c.modes.size(); ++i) {
    const std::int64_t w = c.modes[i].width, h = c.modes[i].height, rw = p->width, rh = p->height;
    const std::int64_t d = w * h + rw * rh - 2 * std::min(w, rw) * std::min(h, rh);
    if (c.modes[i].fourcc == fourcc && d < least) least = d, best = i;
  }
  fillPix(p, c.modes[best]);
  return best;
}

bool acquire(Fake& f) {
  if (f.lockFd >= 0) return true;
  const int fd = REAL(open)(cfg().lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) f.lockFd = fd;
  if (fd >= 0 && f.lockFd != fd) REAL(close)(fd);
  return f.lockFd >= 0;
}

void release(Fake& f) {
  if (f.lockFd >= 0) REAL(close)(f.lockFd);
  f.lockFd = -1;
}

// True while unplugged; every file open when the plug went is dead from then on.
bool checkUnplug() {
  struct stat st;
  const std::string& path = cfg().unplugged;
  if (path.empty() || REAL(stat)(path.c_str(), &st) != 0) return false;
  for (auto& entry : g_fakes) {
    entry.second.dead = true;
    release(entry.second);  // the camera that comes back is a new device, free for anyone
  }
  return true;
}

std::int64_t tickTime(const Fake& f, std::int64_t tick) { return f.start + tick * kSecond / f.fps; }

// When the next frame will fill a buffer.
std::int64_t nextFill(const Fake& f) {
  return f.streaming && !f.queued.empty() ? tickTime(f, f.nextTick) : INT64_MAX;
}

void capture(Fake& f, std::int64_t tick) {
  const Config& c = cfg();
  const std::int64_t at = tickTime(f, tick), ms = (f.startReal + at - f.start) / 1000000;
  // The flash by when the frame is captured, on the wall clock.
  const bool flash = c.flashMs > 0 && ms / c.flashMs % 2 == 1 && !current().frames[1].empty();
  const std::vector<char>& scene = current().frames[flash];
  const unsigned index = f.queued.front();
  f.queued.pop_front();
  v4l2_buffer& b = f.buffers[index];
  std::size_t used = std::min<std::size_t>(scene.size(), b.length);
  b.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE | V4L2_BUF_FLAG_DONE;
  if (c.damageEvery > 0 && ++f.delivered % c.damageEvery == 0) {
    used /= 2;
    // uvcvideo checks the length of an uncompressed frame only.
    if (!compressed(current().fourcc)) b.flags |= V4L2_BUF_FLAG_ERROR;
  }
  if (pwrite(f.fd, scene.data(), used, static_cast<off_t>(index * f.stride)) != ssize_t(used)) {
    b.flags |= V4L2_BUF_FLAG_ERROR;
  }
  b.bytesused = static_cast<std::uint32_t>(used);
  b.sequence = static_cast<std::uint32_t>(tick - f.firstTick);
  b.timestamp = {at / kSecond, at % kSecond / 1000};
  f.done.push_back(index);
}

// The frames whose time has come: each fills the oldest queued buffer, or is lost if none is.
void advance(Fake& f) {
  const std::int64_t t = now();
  while (f.streaming && tickTime(f, f.nextTick) <= t) {
    if (f.queued.empty()) {
      f.nextTick = std::max(f.nextTick, (t - f.start) * f.fps / kSecond);
      while (tickTime(f, f.nextTick) <= t) ++f.nextTick;
      break;
    }
    capture(f, f.nextTick++);
  }
}

short pollEvents(const Fake& f, short events) {
  if (f.dead) return (POLLERR | POLLHUP | POLLPRI) & (events | POLLERR | POLLHUP);  // unregistered
  if ((events & (POLLIN | POLLRDNORM)) == 0) return 0;
  if (f.meta || !f.streaming || f.waitingForBuffers) return POLLERR;  // vb2_poll
  return f.done.empty() ? 0 : events & (POLLIN | POLLRDNORM);
}

void copyText(__u8* to, std::size_t size, const std::string& text) {
  std::snprintf(reinterpret_cast<char*>(to), size, "%s", text.c_str());
}

int requestBuffers(Fake& f, v4l2_requestbuffers* req) {
  if (req->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req->memory != V4L2_MEMORY_MMAP) return EINVAL;
  if (!acquire(f) || f.streaming) return EBUSY;
  f.buffers.clear();
  f.queued.clear();
  f.done.clear();
  f.waitingForBuffers = true;
  req->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
  if (req->count == 0) {
    release(f);
    return 0;
  }
  req->count = std::min(req->count, kMaxBuffers);
  const std::uint32_t length = sizeImage(current());
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  f.stride = (length + page - 1) / page * page;
  // The buffers lie in the file's memfd at the offsets vb2 gives. It never shrinks, so that what
  // the application still maps stays readable, as vb2 orphans such buffers.
  struct stat st;
  const off_t size = static_cast<off_t>(f.stride * req->count);
  if (fstat(f.fd, &st) != 0 || (st.st_size < size && ftruncate(f.fd, size) != 0)) return ENOMEM;
  f.buffers.resize(req->count);
  for (unsigned i = 0; i < req->count; ++i) {
    v4l2_buffer& info = f.buffers[i];
    info.index = i;
    info.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    info.memory = V4L2_MEMORY_MMAP;
    info.field = V4L2_FIELD_NONE;
    info.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    info.m.offset = static_cast<std::uint32_t>(i * f.stride);
    info.length = length;
  }
  return 0;
}

// One V4L2 request on a file of a node: 0 or an errno value. What uvcvideo leaves out, the v4l2
// core refuses with ENOTTY.
int nodeIoctl(Fake& f, unsigned long request, void* arg) {
  const Config& c = cfg();
  if (f.dead) return ENODEV;
  advance(f);
  const auto wrongType = [](std::uint32_t type) { return type != V4L2_BUF_TYPE_VIDEO_CAPTURE; };
  // The metadata node is told apart by its capabilities and its one format; it streams nothing.
  if (f.meta && request != VIDIOC_QUERYCAP && request != VIDIOC_ENUM_FMT) return ENOTTY;
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* cap = static_cast<v4l2_capability*>(arg);
      *cap = {};
      copyText(cap->driver, sizeof cap->driver, "uvcvideo");
      copyText(cap->card, sizeof cap->card, c.name);
      copyText(cap->bus_info, sizeof cap->bus_info, "usb-0000:00:14.0-1");
      cap->version = LINUX_VERSION_CODE;
      // The v4l2 core adds EXT_PIX_FORMAT to every node.
      cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                          V4L2_CAP_EXT_PIX_FORMAT | V4L2_CAP_DEVICE_CAPS;
      cap->device_caps = (f.meta ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) |
                         V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* d = static_cast<v4l2_fmtdesc*>(arg);
      const std::uint32_t index = d->index, type = d->type;
      if (type != (f.meta ? V4L2_BUF_TYPE_META_CAPTURE : V4L2_BUF_TYPE_VIDEO_CAPTURE) ||
          index >= (f.meta ? 1 : c.formats.size())) {
        return EINVAL;
      }
      const std::uint32_t fourcc = f.meta ? V4L2_META_FMT_UVC : c.formats[index];
      const Kind* k = kind(fourcc);
      *d = {};
      d->index = index;
      d->type = type;
      d->flags = compressed(fourcc) ? V4L2_FMT_FLAG_COMPRESSED : 0;
      d->pixelformat = fourcc;
      copyText(d->description, sizeof d->description, k ? k->description : fourccText(fourcc));
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* s = static_cast<v4l2_frmsizeenum*>(arg);
      std::uint32_t seen = 0;
      for (const Mode& m : c.modes) {
        if (m.fourcc != s->pixel_format || seen++ != s->index) continue;
        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        s->discrete = {m.width, m.height};
        return 0;
      }
      return EINVAL;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      auto* i = static_cast<v4l2_frmivalenum*>(arg);
      for (const Mode& m : c.modes) {
        if (m.fourcc != i->pixel_format || m.width != i->width || m.height != i->height) continue;
        if (i->index >= m.rates.size()) break;
        i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        i->discrete = {1, m.rates[i->index]};
        return 0;
      }
      return EINVAL;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
      auto* fmt = static_cast<v4l2_format*>(arg);
      if (wrongType(fmt->type)) return EINVAL;
      if (request == VIDIOC_G_FMT) {
        fmt->fmt = {};
        fillPix(&fmt->fmt.pix, current());
        return 0;
      }
      if (request == VIDIOC_S_FMT && (!acquire(f) || !f.buffers.empty())) return EBUSY;
      const std::size_t mode = tryFormat(&fmt->fmt.pix);
      if (request == VIDIOC_S_FMT) g_mode = mode, g_rate = current().rates[0];
      return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      auto* parm = static_cast<v4l2_streamparm*>(arg);
      if (wrongType(parm->type)) return EINVAL;
      if (request == VIDIOC_S_PARM) {
        if (!acquire(f) || f.streaming) return EBUSY;
        // The nearest frame interval in the driver's units of 100 ns, the fastest for 1/0.
        const v4l2_fract asked = parm->parm.capture.timeperframe;
        const std::int64_t want =
            asked.denominator == 0 ? 0 : 10000000LL * asked.numerator / asked.denominator;
        std::int64_t least = INT64_MAX;
        for (const std::uint32_t rate : current().rates) {
          const std::int64_t d = std::llabs(10000000LL / rate - want);
          if (d < least) least = d, g_rate = rate;
        }
      }
      parm->parm = {};
      parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      parm->parm.capture.timeperframe = {1, g_rate};
      return 0;
    }
    case VIDIOC_REQBUFS:
      return requestBuffers(f, static_cast<v4l2_requestbuffers*>(arg));
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
      auto* buf = static_cast<v4l2_buffer*>(arg);
      if (wrongType(buf->type) || buf->memory != V4L2_MEMORY_MMAP) return EINVAL;
      if (f.lockFd < 0) return EBUSY;  // uvcvideo: only the file that holds the camera
      if (request == VIDIOC_DQBUF && !f.streaming) return EINVAL;
      if (request == VIDIOC_DQBUF && f.done.empty()) return EAGAIN;
      const unsigned index = request == VIDIOC_DQBUF ? f.done.front() : buf->index;
      if (index >= f.buffers.size()) return EINVAL;
      v4l2_buffer& b = f.buffers[index];
      if (request == VIDIOC_QBUF) {
        if (b.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE)) return EINVAL;
        b.flags = (b.flags & ~V4L2_BUF_FLAG_ERROR) | V4L2_BUF_FLAG_QUEUED;
        f.queued.push_back(index);
        f.waitingForBuffers = false;
      }
      *buf = b;  // a buffer dequeued still says it was done
      if (request == VIDIOC_DQBUF) f.done.pop_front(), b.flags &= ~V4L2_BUF_FLAG_DONE;
      return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
      if (wrongType(*static_cast<std::uint32_t*>(arg))) return EINVAL;
      // Buffers, and so a stream, belong to the file that holds the camera.
      if (f.lockFd < 0) return EBUSY;
      if (request == VIDIOC_STREAMON) {
        if (f.buffers.empty()) return EINVAL;
        if (!f.streaming) {
          f.streaming = true;
          // The frame clock runs from the last whole second of the wall clock, as if it had
          // started then: a flash that starts on a whole second is in the frame captured at that
          // very moment, and a delay measured from the second runs from its capture.
          const std::int64_t monotonic = now(), real = now(CLOCK_REALTIME);
          const std::int64_t since = real % kSecond;
          f.start = monotonic - since;
          f.startReal = real - since;
          f.fps = g_rate;
          // The first frame is whole one frame time after the stream starts.
          f.firstTick = (since * f.fps + kSecond - 1) / kSecond + 1;
          f.nextTick = f.firstTick;
          f.delivered = 0;
        }
        return 0;
      }
      // Every buffer comes back to the application, filled or not.
      for (v4l2_buffer& b : f.buffers) b.flags &= ~(V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE);
      f.queued.clear();
      f.done.clear();
      f.streaming = false;
      f.waitingForBuffers = true;
      return 0;
    case VIDIOC_G_INPUT:  // uvcvideo without a selector unit: one input, its camera terminal
      *static_cast<int*>(arg) = 0;
      return 0;
    case VIDIOC_ENUMINPUT: {
      auto* input = static_cast<v4l2_input*>(arg);
      if (input->index != 0) return EINVAL;
      *input = {};
      copyText(input->name, sizeof input->name, "Camera 1");
      input->type = V4L2_INPUT_TYPE_CAMERA;
      return 0;
    }
  }
  return ENOTTY;
}

// poll() over fake and real descriptors alike; timeoutNs < 0 waits for ever.
int waitFor(pollfd* fds, nfds_t n, std::int64_t timeoutNs) {
  const std::int64_t deadline = timeoutNs < 0 ? INT64_MAX : now() + timeoutNs;
  std::vector<pollfd> real(fds, fds + n);
  for (;;) {
    int ready = 0;
    std::int64_t wake = deadline;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      checkUnplug();
      for (nfds_t i = 0; i < n; ++i) {
        Fake* f = find(fds[i].fd);
        if (f == nullptr) continue;
        real[i].fd = -1;  // which ppoll() passes over
        advance(*f);
        fds[i].revents = pollEvents(*f, fds[i].events);
        if (fds[i].revents != 0) ++ready;
        wake = std::min(wake, nextFill(*f));
      }
    }
    const std::int64_t t = now();
    const std::int64_t wait =
        ready > 0 ? 0 : std::max<std::int64_t>(0, std::min({wake, deadline, t + kSliceNs}) - t);
    const timespec span{wait / kSecond, wait % kSecond};
    if (ppoll(real.data(), real.size(), &span, nullptr) < 0) return -1;
    for (nfds_t i = 0; i < n; ++i) {
      if (real[i].fd < 0 && fds[i].fd >= 0) continue;
      fds[i].revents = real[i].revents;
      if (fds[i].revents != 0) ++ready;
    }
    if (ready > 0 || t >= deadline) return ready;
  }
}

// Not const: glibc declares poll()'s array write-only, and GCC would warn of its being read.
bool anyFake(pollfd* fds, std::size_t n) {
  if (!cfg().active || g_count == 0) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  return std::any_of(fds, fds + n, [](const pollfd& p) { return find(p.fd) != nullptr; });
}

void eraseFake(int fd) {
  const auto it = g_fakes.find(fd);
  if (it == g_fakes.end()) return;
  release(it->second);
  g_fakes.erase(it);
  g_count = g_fakes.size();
}

// The minor number of the node at `path`, or -1 for another path.
int nodeMinor(const char* path) {
  const Config& c = cfg();
  const bool ours = c.active && (c.camera == path || (!c.meta.empty() && c.meta == path));
  return ours ? static_cast<int>(trailingNumber(path)) : -1;
}

// A descriptor for a node, -1 with errno, or kNotOurs.
int openFake(const char* path, int flags) {
  if (nodeMinor(path) < 0) return kNotOurs;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (checkUnplug()) return fail(ENOENT);
  if (cfg().deny) return fail(EACCES);
  // A memfd: its number is unique, fcntl() works on it, and mmap() maps the buffers in it.
  const int fd = memfd_create("lumivane-fake-camera", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
  if (fd < 0) return -1;
  if (flags & O_NONBLOCK) fcntl(fd, F_SETFL, O_NONBLOCK);
  eraseFake(fd);  // one closed behind our back
  g_fakes[fd].fd = fd;
  g_fakes[fd].meta = cfg().camera != path;
  g_count = g_fakes.size();
  return fd;
}

}  // namespace

#define OPEN(name)                                                                       \
  extern "C" int name(const char* path, int flags, ...) {                                \
    va_list args;                                                                        \
    va_start(args, flags);                                                               \
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0; \
    va_end(args);                                                                        \
    const int fd = openFake(path, flags);                                                \
    return fd != kNotOurs ? fd : REAL(name)(path, flags, mode);                          \
  }
OPEN(open)
OPEN(open64)

extern "C" int close(int fd) {
  if (cfg().active && g_count > 0) {
    std::lock_guard<std::mutex> lock(g_mutex);
    eraseFake(fd);
  }
  return REAL(close)(fd);
}

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (!cfg().active || g_count == 0) return REAL(ioctl)(fd, request, arg);
  std::unique_lock<std::mutex> lock(g_mutex);
  for (;;) {
    Fake* f = find(fd);
    if (f == nullptr) {
      lock.unlock();
      return REAL(ioctl)(fd, request, arg);
    }
    checkUnplug();
    const int error = nodeIoctl(*f, request, arg);
    if (error == 0) return 0;
    if (error != EAGAIN || (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) return fail(error);
    // A blocking DQBUF sleeps until a frame fills a buffer, looking again at the plug and at what
    // another thread queues.
    const std::int64_t wait = std::clamp<std::int64_t>(nextFill(*f) - now(), 0, kSliceNs);
    lock.unlock();
    const timespec span{0, wait};
    nanosleep(&span, nullptr);
    lock.lock();
  }
}

extern "C" int poll(pollfd* fds, nfds_t n, int timeout) {
  if (!anyFake(fds, n)) return REAL(poll)(fds, n, timeout);
  return waitFor(fds, n, timeout < 0 ? -1 : timeout * std::int64_t{1000000});
}

extern "C" int select(int n, fd_set* read, fd_set* write, fd_set* except, timeval* timeout) {
  if (!cfg().active || g_count == 0) return REAL(select)(n, read, write, except, timeout);
  // What each set asks for, and what counts as ready for it: the kernel's POLLIN_SET,
  // POLLOUT_SET and POLLEX_SET.
  fd_set* sets[] = {read, write, except};
  const short asked[] = {POLLIN | POLLRDNORM, POLLOUT | POLLWRNORM, POLLPRI};
  const short ready[] = {POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR,
                         POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR, POLLPRI};
  std::vector<pollfd> fds;
  for (int fd = 0; fd < std::min(n, FD_SETSIZE); ++fd) {
    short events = 0;
    for (int s = 0; s < 3; ++s) events |= sets[s] && FD_ISSET(fd, sets[s]) ? asked[s] : 0;
    if (events != 0) fds.push_back({fd, events, 0});
  }
  if (!anyFake(fds.data(), fds.size())) return REAL(select)(n, read, write, except, timeout);
  const std::int64_t span =
      timeout == nullptr ? -1 : timeout->tv_sec * kSecond + timeout->tv_usec * std::int64_t{1000};
  if (waitFor(fds.data(), fds.size(), span) < 0) return -1;
  int count = 0;
  for (const pollfd& p : fds) {
    for (int s = 0; s < 3; ++s) {
      if (sets[s] == nullptr || (p.events & asked[s]) == 0) continue;
      FD_CLR(p.fd, sets[s]);
      if (p.revents & ready[s]) FD_SET(p.fd, sets[s]), ++count;
    }
  }
  return count;
}

// The nodes as devtmpfs shows them.
extern "C" int stat(const char* path, struct stat* st) __THROW {
  const int minor = nodeMinor(path);
  if (minor < 0) return REAL(stat)(path, st);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (checkUnplug()) return fail(ENOENT);
  }
  *st = {};
  st->st_nlink = 1;
  st->st_mode = S_IFCHR | 0660;
  st->st_gid = 44;  // video
  st->st_rdev = makedev(81, minor);
  return 0;
}
