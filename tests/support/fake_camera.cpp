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
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// glibc still exports these for programs built against older versions; its headers no longer
// declare them.
extern "C" {
int __open_2(const char*, int);
int __open64_2(const char*, int);
int __openat_2(int, const char*, int);
int __openat64_2(int, const char*, int);
int __xstat(int, const char*, struct stat*);
int __xstat64(int, const char*, struct stat64*);
int __lxstat(int, const char*, struct stat*);
int __lxstat64(int, const char*, struct stat64*);
int __fxstat(int, int, struct stat*);
int __fxstat64(int, int, struct stat64*);
}

namespace {

constexpr unsigned kMaxBuffers = 32;              // VB2_MAX_FRAME
constexpr std::uint32_t kMetaBufferSize = 10240;  // UVC_METADATA_BUF_SIZE
constexpr std::int64_t kSecond = 1000000000;
// A wait looks again this often at what another thread may have queued or started.
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
// clang-format off
#define FOR_EACH_REAL(X)                                                                  \
  X(open) X(open64) X(openat) X(openat64) X(__open_2) X(__open64_2) X(__openat_2)         \
  X(__openat64_2) X(close) X(ioctl) X(mmap) X(munmap) X(poll) X(select) X(stat)           \
  X(stat64) X(lstat) X(lstat64) X(fstat) X(fstat64) X(fstatat) X(fstatat64) X(statx)      \
  X(access) X(__xstat) X(__xstat64) X(__lxstat) X(__lxstat64) X(__fxstat) X(__fxstat64)
// clang-format on
FOR_EACH_REAL(DEFINE_REAL)
#define RESOLVE_REAL(name) real_##name();

std::int64_t now(clockid_t clock = CLOCK_MONOTONIC) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * kSecond + t.tv_nsec;
}

int fail(int error) {
  errno = error;
  return -1;
}

// Bits per pixel of the raw formats uvcvideo knows; 0 for the compressed ones.
struct Kind {
  std::uint32_t fourcc;
  unsigned bpp;
  const char* description;
};
constexpr Kind kKinds[] = {
    {V4L2_PIX_FMT_MJPEG, 0, "Motion-JPEG"}, {V4L2_PIX_FMT_JPEG, 0, nullptr},
    {V4L2_PIX_FMT_H264, 0, "H.264"},        {V4L2_PIX_FMT_HEVC, 0, nullptr},
    {V4L2_PIX_FMT_YUYV, 16, "YUYV 4:2:2"},  {V4L2_PIX_FMT_NV12, 12, nullptr},
    {V4L2_PIX_FMT_NV21, 12, nullptr},       {V4L2_PIX_FMT_YUV420, 12, nullptr},
    {V4L2_PIX_FMT_YVU420, 12, nullptr},     {V4L2_PIX_FMT_GREY, 8, nullptr},
    {V4L2_PIX_FMT_RGB24, 24, nullptr},      {V4L2_PIX_FMT_BGR24, 24, nullptr},
    {V4L2_PIX_FMT_SBGGR8, 8, nullptr},      {V4L2_PIX_FMT_SGBRG8, 8, nullptr},
};
const Kind* kind(std::uint32_t fourcc) {
  for (const Kind& k : kKinds) {
    if (k.fourcc == fourcc) return &k;
  }
  return nullptr;
}
bool compressed(std::uint32_t fourcc) { return kind(fourcc) != nullptr && kind(fourcc)->bpp == 0; }
bool planar420(std::uint32_t f) {
  return f == V4L2_PIX_FMT_NV12 || f == V4L2_PIX_FMT_YUV420 || f == V4L2_PIX_FMT_YVU420;
}

std::string fourccText(std::uint32_t fourcc) {
  std::string text;
  for (int shift = 0; shift < 32; shift += 8) text += static_cast<char>((fourcc >> shift) & 0xFF);
  while (!text.empty() && (text.back() == ' ' || text.back() == 0)) text.pop_back();
  return text;
}

struct Mode {
  std::uint32_t fourcc, width, height;
  std::vector<std::uint32_t> rates;
};

struct Config {
  bool active = false, deny = false;
  std::string camera, meta, name, frames, unplugged, unpluggedName, lock;
  unsigned cameraMinor = 0, metaMinor = 0;
  std::vector<Mode> modes;
  std::vector<std::uint32_t> formats;  // in order of first appearance
  std::int64_t flashMs = 0, damageEvery = 0;
};

struct Buffer {
  enum { kDequeued, kQueued, kDone } state = kDequeued;
  int maps = 0;
  v4l2_buffer info{};
};

// One open file of a node: what the kernel keeps in its struct file, and the stream it owns
// while it holds the camera.
struct Fake {
  bool meta = false, dead = false, streaming = false, compressed = false;
  bool waitingForBuffers = true;  // vb2: no QBUF since REQBUFS or STREAMOFF
  unsigned unplugs = 0;
  int lockFd = -1, memFd = -1;  // the camera is this file's while lockFd is held
  char* memory = nullptr;
  std::size_t stride = 0;
  std::vector<Buffer> buffers;
  std::deque<unsigned> queued, done;
  std::int64_t start = 0, startReal = 0, nextTick = 0, fps = 1, delivered = 0;
  const std::vector<char>* scene[2] = {};
};

std::mutex g_mutex;
std::map<int, Fake> g_fakes;
std::atomic<std::size_t> g_count{0};  // g_fakes.size(), read without the lock
std::map<void*, std::pair<int, unsigned>> g_maps;
std::map<std::string, std::optional<std::vector<char>>> g_files;
std::size_t g_mode = 0;  // the stream's format, shared by all files of the node, as in the driver
std::uint32_t g_rate = 0;
int g_inotify = -1;
unsigned g_unplugs = 0;  // creations of the unplug file seen

unsigned trailingNumber(const std::string& path) {
  std::size_t digits = path.size();
  while (digits > 0 && path[digits - 1] >= '0' && path[digits - 1] <= '9') --digits;
  return digits == path.size() ? 0 : static_cast<unsigned>(std::stoul(path.substr(digits)));
}

[[noreturn]] void badSetting(const char* name, const std::string& text) {
  std::fprintf(stderr, "lumivane_fake_camera: cannot read %s=\"%s\"\n", name, text.c_str());
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
  c.frames = env("LUMIVANE_FAKE_CAMERA_FRAMES");
  c.unplugged = env("LUMIVANE_FAKE_CAMERA_UNPLUGGED");
  c.deny = env("LUMIVANE_FAKE_CAMERA_DENY") == "1";
  c.flashMs = std::atoll(env("LUMIVANE_FAKE_CAMERA_FLASH_MS", "0").c_str());
  c.damageEvery = std::atoll(env("LUMIVANE_FAKE_CAMERA_DAMAGE_EVERY", "0").c_str());
  c.cameraMinor = trailingNumber(c.camera);
  c.metaMinor = trailingNumber(c.meta);
  c.lock = env("LUMIVANE_FAKE_CAMERA_LOCK",
               ("/tmp/lumivane-fake-camera-" + std::to_string(c.cameraMinor) + ".lock").c_str());
  const std::string modes = env("LUMIVANE_FAKE_CAMERA_MODES", "MJPG:1920x960@30");
  for (std::size_t at = 0; (at = modes.find_first_not_of(' ', at)) != std::string::npos;) {
    const std::string word = modes.substr(at, modes.find(' ', at) - at);
    at += word.size();
    char code[5] = {};
    unsigned width = 0, height = 0;
    int used = 0;
    if (std::sscanf(word.c_str(), "%4[^:]:%ux%u@%n", code, &width, &height, &used) != 3 ||
        used == 0 || width == 0 || height == 0) {
      badSetting("LUMIVANE_FAKE_CAMERA_MODES", word);
    }
    const std::uint32_t fourcc = v4l2_fourcc(code[0], code[1] ? code[1] : ' ',
                                             code[2] ? code[2] : ' ', code[3] ? code[3] : ' ');
    auto mode = std::find_if(c.modes.begin(), c.modes.end(), [&](const Mode& m) {
      return m.fourcc == fourcc && m.width == width && m.height == height;
    });
    if (mode == c.modes.end()) mode = c.modes.insert(mode, {fourcc, width, height, {}});
    for (const char* rate = word.c_str() + used; *rate != 0;) {
      char* end = nullptr;
      const unsigned long fps = std::strtoul(rate, &end, 10);
      if (end == rate || fps == 0 || (*end != 0 && *end != '/')) {
        badSetting("LUMIVANE_FAKE_CAMERA_MODES", word);
      }
      mode->rates.push_back(static_cast<std::uint32_t>(fps));
      rate = *end == '/' ? end + 1 : end;
    }
    if (mode->rates.empty()) badSetting("LUMIVANE_FAKE_CAMERA_MODES", word);
    if (std::find(c.formats.begin(), c.formats.end(), fourcc) == c.formats.end()) {
      c.formats.push_back(fourcc);
    }
  }
  g_rate = c.modes.at(0).rates[0];
  if (!c.unplugged.empty()) {
    // Creations are queued by the kernel, so a plug pulled and put back between two calls is
    // still seen, and a wait wakes as the cable goes.
    const std::size_t slash = c.unplugged.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : c.unplugged.substr(0, slash + 1);
    c.unpluggedName = c.unplugged.substr(slash == std::string::npos ? 0 : slash + 1);
    g_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_inotify >= 0) inotify_add_watch(g_inotify, folder.c_str(), IN_CREATE | IN_MOVED_TO);
  }
  FOR_EACH_REAL(RESOLVE_REAL)
  // A child forked while another thread held the lock would otherwise never get it.
  pthread_atfork([] { g_mutex.lock(); }, [] { g_mutex.unlock(); }, [] { g_mutex.unlock(); });
  return c;
}

const Config& cfg() {
  static const Config config = readConfig();
  return config;
}

bool active() { return cfg().active; }

// The rest runs with g_mutex held.

Fake* find(int fd) {
  const auto it = g_fakes.find(fd);
  return it == g_fakes.end() ? nullptr : &it->second;
}

bool anyFake(const pollfd* fds, std::size_t n) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (std::size_t i = 0; i < n; ++i) {
    if (find(fds[i].fd) != nullptr) return true;
  }
  return false;
}

const Mode& current() { return cfg().modes[g_mode]; }

std::size_t rawSize(const Mode& m) {
  const Kind* k = kind(m.fourcc);
  return std::size_t{m.width} * m.height * (k != nullptr ? k->bpp : 16) / 8;
}

// A mode's frame, read once. A missing frame is zeros, so that a test that forgot one sees
// garbage turned away rather than a crash; a missing flash frame is the ordinary one.
const std::vector<char>* frameFile(const Mode& m, bool flash) {
  const std::string name = fourccText(m.fourcc) + "-" + std::to_string(m.width) + "x" +
                           std::to_string(m.height) + (flash ? "-flash" : "") + ".bin";
  auto it = g_files.find(name);
  if (it == g_files.end()) {
    std::optional<std::vector<char>> data;
    const int fd = cfg().frames.empty()
                       ? -1
                       : REAL(open)((cfg().frames + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      data.emplace();
      char chunk[65536];
      for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) {
        data->insert(data->end(), chunk, chunk + got);
      }
      REAL(close)(fd);
    }
    if (!data && !flash) data.emplace(compressed(m.fourcc) ? 1024 : rawSize(m), 0);
    it = g_files.emplace(name, std::move(data)).first;
  }
  return it->second ? &*it->second : frameFile(m, false);
}

// Like many cameras' dwMaxVideoFrameSize: two bytes a pixel for JPEG, though never less than
// the frame given.
std::uint32_t sizeImage(const Mode& m) {
  if (!compressed(m.fourcc)) return static_cast<std::uint32_t>(rawSize(m));
  return static_cast<std::uint32_t>(
      std::max({std::size_t{m.width} * m.height * 2, frameFile(m, false)->size(),
                frameFile(m, true)->size()}));
}

void fillPix(v4l2_pix_format* p, const Mode& m) {
  *p = {};
  p->width = m.width;
  p->height = m.height;
  p->pixelformat = m.fourcc;
  p->field = V4L2_FIELD_NONE;
  p->bytesperline = compressed(m.fourcc)  ? 0
                    : planar420(m.fourcc) ? m.width
                                          : rawSize(m) / m.height;
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
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    REAL(close)(fd);
    return false;
  }
  f.lockFd = fd;
  return true;
}

void release(Fake& f) {
  if (f.lockFd >= 0) REAL(close)(f.lockFd);
  f.lockFd = -1;
}

// Buffers still mapped stay readable (vb2 orphans them); only the driver's hold goes.
void freeBuffers(int fd, Fake& f) {
  for (auto it = g_maps.begin(); it != g_maps.end();) {
    it = it->second.first == fd ? g_maps.erase(it) : std::next(it);
  }
  if (f.memory != nullptr) REAL(munmap)(f.memory, f.stride * f.buffers.size());
  if (f.memFd >= 0) REAL(close)(f.memFd);
  f.memory = nullptr;
  f.memFd = -1;
  f.buffers.clear();
  f.queued.clear();
  f.done.clear();
}

// True while unplugged; every file open when the plug went is dead from then on.
bool checkUnplug() {
  const Config& c = cfg();
  if (c.unplugged.empty()) return false;
  alignas(inotify_event) char events[4096];
  for (ssize_t got; g_inotify >= 0 && (got = read(g_inotify, events, sizeof events)) > 0;) {
    for (char* at = events; at < events + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      if (event->len > 0 && c.unpluggedName == event->name) ++g_unplugs;
      at += sizeof(inotify_event) + event->len;
    }
  }
  struct stat st;
  const bool unplugged = REAL(stat)(c.unplugged.c_str(), &st) == 0;
  for (auto& [fd, f] : g_fakes) {
    if (!f.dead && (unplugged || f.unplugs != g_unplugs)) {
      f.dead = true;
      release(f);  // the camera that comes back is a new device, free for anyone
    }
  }
  return unplugged;
}

std::int64_t tickTime(const Fake& f, std::int64_t tick) { return f.start + tick * kSecond / f.fps; }

// When the next frame will fill a buffer.
std::int64_t nextFill(const Fake& f) {
  return f.streaming && !f.queued.empty() ? tickTime(f, f.nextTick) : INT64_MAX;
}

void capture(Fake& f, std::int64_t tick) {
  const Config& c = cfg();
  const std::int64_t at = tickTime(f, tick);
  const std::int64_t realMs = (f.startReal + (at - f.start)) / 1000000;
  const bool flash = c.flashMs > 0 && (realMs / c.flashMs) % 2 == 1;
  const std::vector<char>& scene = *f.scene[flash ? 1 : 0];
  const unsigned index = f.queued.front();
  f.queued.pop_front();
  Buffer& b = f.buffers[index];
  std::size_t used = std::min<std::size_t>(scene.size(), b.info.length);
  b.info.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
  if (c.damageEvery > 0 && ++f.delivered % c.damageEvery == 0) {
    used /= 2;
    // uvcvideo checks the length of an uncompressed frame only.
    if (!f.compressed) b.info.flags |= V4L2_BUF_FLAG_ERROR;
  }
  std::memcpy(f.memory + index * f.stride, scene.data(), used);
  b.info.bytesused = static_cast<std::uint32_t>(used);
  b.info.sequence = static_cast<std::uint32_t>(tick - 1);
  b.info.timestamp = {at / kSecond, at % kSecond / 1000};
  b.state = Buffer::kDone;
  f.done.push_back(index);
}

// The frames whose time has come: each fills the oldest queued buffer, or is lost if none is.
void advance(Fake& f) {
  if (!f.streaming) return;
  const std::int64_t t = now();
  while (tickTime(f, f.nextTick) <= t) {
    if (f.queued.empty()) {
      f.nextTick = std::max(f.nextTick, (t - f.start) * f.fps / kSecond);
      while (tickTime(f, f.nextTick) <= t) ++f.nextTick;
      break;
    }
    capture(f, f.nextTick++);
  }
}

void report(const Buffer& b, v4l2_buffer* out) {
  *out = b.info;
  if (b.state == Buffer::kQueued) out->flags |= V4L2_BUF_FLAG_QUEUED;
  if (b.state == Buffer::kDone) out->flags |= V4L2_BUF_FLAG_DONE;
  if (b.maps > 0) out->flags |= V4L2_BUF_FLAG_MAPPED;
}

short pollEvents(const Fake& f, short events) {
  short got = 0;
  if (f.dead) {
    got = POLLERR | POLLHUP | POLLPRI;  // v4l2_poll of an unregistered node
  } else if (events & (POLLIN | POLLRDNORM)) {
    if (f.meta || !f.streaming || f.waitingForBuffers) {
      got = POLLERR;
    } else if (!f.done.empty()) {
      got = POLLIN | POLLRDNORM;
    }
  }
  return got & (events | POLLERR | POLLHUP);
}

void copyText(__u8* to, std::size_t size, const std::string& text) {
  std::snprintf(reinterpret_cast<char*>(to), size, "%s", text.c_str());
}

void describe(v4l2_fmtdesc* d, std::uint32_t flags, std::uint32_t fourcc, const std::string& text) {
  const v4l2_fmtdesc asked = *d;
  *d = {};
  d->index = asked.index;
  d->type = asked.type;
  d->flags = flags;
  d->pixelformat = fourcc;
  copyText(d->description, sizeof d->description, text);
}

int metaIoctl(unsigned long request, void* arg) {
  switch (request) {
    case VIDIOC_ENUM_FMT: {
      auto* d = static_cast<v4l2_fmtdesc*>(arg);
      if (d->type != V4L2_BUF_TYPE_META_CAPTURE || d->index != 0) return EINVAL;
      describe(d, 0, V4L2_META_FMT_UVC, "UVC Payload Header Metadata");
      return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
      auto* fmt = static_cast<v4l2_format*>(arg);
      if (fmt->type != V4L2_BUF_TYPE_META_CAPTURE) return EINVAL;
      fmt->fmt.meta = {V4L2_META_FMT_UVC, kMetaBufferSize};
      return 0;
    }
    case VIDIOC_REQBUFS:  // only video buffer types are asked for here; they are not this node's
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
      return EINVAL;
  }
  return ENOTTY;
}

// One V4L2 request on a file of the camera: 0 or an errno value.
int cameraIoctl(int fd, Fake& f, unsigned long request, void* arg) {
  const Config& c = cfg();
  if (f.dead) return ENODEV;
  advance(f);
  if (request == VIDIOC_QUERYCAP) {
    auto* cap = static_cast<v4l2_capability*>(arg);
    *cap = {};
    copyText(cap->driver, sizeof cap->driver, "uvcvideo");
    copyText(cap->card, sizeof cap->card, c.name);
    copyText(cap->bus_info, sizeof cap->bus_info, "usb-0000:00:14.0-1");
    utsname u{};
    unsigned major = 0, minor = 0, patch = 0;
    uname(&u);
    std::sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
    cap->version = (major << 16) | (minor << 8) | std::min(patch, 255u);
    // The v4l2 core adds EXT_PIX_FORMAT to every node.
    cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                        V4L2_CAP_EXT_PIX_FORMAT | V4L2_CAP_DEVICE_CAPS;
    cap->device_caps = (f.meta ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) |
                       V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    return 0;
  }
  if (f.meta) return metaIoctl(request, arg);
  const auto wrongType = [&](std::uint32_t type) { return type != V4L2_BUF_TYPE_VIDEO_CAPTURE; };
  const auto findMode = [&](std::uint32_t fourcc, std::uint32_t width, std::uint32_t height) {
    return std::find_if(c.modes.begin(), c.modes.end(), [&](const Mode& m) {
      return m.fourcc == fourcc && m.width == width && m.height == height;
    });
  };
  switch (request) {
    case VIDIOC_ENUM_FMT: {
      auto* d = static_cast<v4l2_fmtdesc*>(arg);
      if (wrongType(d->type) || d->index >= c.formats.size()) return EINVAL;
      const std::uint32_t fourcc = c.formats[d->index];
      const Kind* k = kind(fourcc);
      describe(d, compressed(fourcc) ? V4L2_FMT_FLAG_COMPRESSED : 0, fourcc,
               k != nullptr && k->description != nullptr ? k->description : fourccText(fourcc));
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
      const auto m = findMode(i->pixel_format, i->width, i->height);
      if (m == c.modes.end() || i->index >= m->rates.size()) return EINVAL;
      i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
      i->discrete = {1, m->rates[i->index]};
      return 0;
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
    case VIDIOC_REQBUFS: {
      auto* req = static_cast<v4l2_requestbuffers*>(arg);
      if (wrongType(req->type) || req->memory != V4L2_MEMORY_MMAP) return EINVAL;
      if (!acquire(f) || f.streaming) return EBUSY;
      freeBuffers(fd, f);
      req->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
      if (req->count == 0) {
        release(f);
        return 0;
      }
      req->count = std::min(req->count, kMaxBuffers);
      const std::uint32_t length = sizeImage(current());
      const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
      f.stride = (length + page - 1) / page * page;
      f.memFd = memfd_create("lumivane-fake-camera", MFD_CLOEXEC);
      if (f.memFd < 0 || ftruncate(f.memFd, static_cast<off_t>(f.stride * req->count)) != 0) {
        freeBuffers(fd, f);
        return ENOMEM;
      }
      void* memory = REAL(mmap)(nullptr, f.stride * req->count, PROT_READ | PROT_WRITE, MAP_SHARED,
                                f.memFd, 0);
      if (memory == MAP_FAILED) {
        freeBuffers(fd, f);
        return ENOMEM;
      }
      f.memory = static_cast<char*>(memory);
      f.buffers.resize(req->count);
      for (unsigned i = 0; i < req->count; ++i) {
        v4l2_buffer& info = f.buffers[i].info;
        info.index = i;
        info.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        info.memory = V4L2_MEMORY_MMAP;
        info.field = V4L2_FIELD_NONE;
        info.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
        info.m.offset = static_cast<std::uint32_t>(i * f.stride);  // as vb2 lays them out
        info.length = length;
      }
      f.waitingForBuffers = true;
      return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
      auto* buf = static_cast<v4l2_buffer*>(arg);
      if (wrongType(buf->type) || buf->memory != V4L2_MEMORY_MMAP) return EINVAL;
      if (f.lockFd < 0) return EBUSY;  // uvcvideo: only the file that holds the camera
      if (request == VIDIOC_DQBUF) {
        if (!f.streaming) return EINVAL;
        if (f.done.empty()) return EAGAIN;
        Buffer& b = f.buffers[f.done.front()];
        f.done.pop_front();
        report(b, buf);
        b.state = Buffer::kDequeued;
        return 0;
      }
      if (buf->index >= f.buffers.size()) return EINVAL;
      Buffer& b = f.buffers[buf->index];
      if (request == VIDIOC_QBUF) {
        if (b.state != Buffer::kDequeued) return EINVAL;
        b.state = Buffer::kQueued;
        b.info.flags &= ~V4L2_BUF_FLAG_ERROR;
        f.queued.push_back(buf->index);
        f.waitingForBuffers = false;
      }
      report(b, buf);
      return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      if (wrongType(*static_cast<std::uint32_t*>(arg))) return EINVAL;
      // Buffers, and so a stream, belong to the file that holds the camera.
      if (f.lockFd < 0) return EBUSY;
      if (request == VIDIOC_STREAMOFF) {
        // Every buffer comes back to the application, filled or not.
        for (Buffer& b : f.buffers) b.state = Buffer::kDequeued;
        f.queued.clear();
        f.done.clear();
        f.streaming = false;
        f.waitingForBuffers = true;
        return 0;
      }
      if (f.buffers.empty()) return EINVAL;
      if (f.streaming) return 0;
      f.streaming = true;
      f.start = now();
      f.startReal = now(CLOCK_REALTIME);
      f.nextTick = 1;  // the first frame is whole one frame time after the stream starts
      f.fps = g_rate;
      f.delivered = 0;
      f.compressed = compressed(current().fourcc);
      f.scene[0] = frameFile(current(), false);
      f.scene[1] = frameFile(current(), true);
      return 0;
    }
    case VIDIOC_ENUMINPUT: {
      auto* input = static_cast<v4l2_input*>(arg);
      if (input->index != 0) return EINVAL;
      *input = {};
      copyText(input->name, sizeof input->name, "Camera 1");
      input->type = V4L2_INPUT_TYPE_CAMERA;
      return 0;
    }
    case VIDIOC_G_INPUT:
      *static_cast<int*>(arg) = 0;
      return 0;
    case VIDIOC_S_INPUT:
      if (!acquire(f)) return EBUSY;
      return *static_cast<int*>(arg) == 0 ? 0 : EINVAL;
    case VIDIOC_G_SELECTION: {
      auto* sel = static_cast<v4l2_selection*>(arg);
      if (wrongType(sel->type) ||
          (sel->target != V4L2_SEL_TGT_CROP_DEFAULT && sel->target != V4L2_SEL_TGT_CROP_BOUNDS)) {
        return EINVAL;
      }
      sel->r = {0, 0, current().width, current().height};
      return 0;
    }
    case VIDIOC_CROPCAP: {
      auto* crop = static_cast<v4l2_cropcap*>(arg);
      if (wrongType(crop->type)) return EINVAL;
      crop->bounds = crop->defrect = {0, 0, current().width, current().height};
      crop->pixelaspect = {1, 1};
      return 0;
    }
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS: {
      // A camera without controls: any control named is unknown.
      auto* ctrls = static_cast<v4l2_ext_controls*>(arg);
      if (ctrls->count == 0) return 0;
      ctrls->error_idx = request == VIDIOC_S_EXT_CTRLS ? ctrls->count : 0;
      return EINVAL;
    }
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    case VIDIOC_G_CROP:  // uvcvideo's g_selection knows no CROP target
      return EINVAL;
  }
  return ENOTTY;
}

// poll() over fake and real descriptors alike; timeoutNs < 0 waits for ever.
int waitFor(pollfd* fds, nfds_t n, std::int64_t timeoutNs) {
  const std::int64_t deadline = timeoutNs < 0 ? INT64_MAX : now() + timeoutNs;
  std::vector<pollfd> real(fds, fds + n);
  real.push_back({g_inotify, POLLIN, 0});  // wakes as the camera is unplugged
  std::vector<char> fake(n);
  for (;;) {
    int ready = 0;
    std::int64_t wake = deadline;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      checkUnplug();
      for (nfds_t i = 0; i < n; ++i) {
        Fake* f = find(fds[i].fd);
        fake[i] = f != nullptr;
        if (f == nullptr) continue;
        real[i].fd = -1;
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
      if (fake[i]) continue;
      fds[i].revents = real[i].revents;
      if (fds[i].revents != 0) ++ready;
    }
    if (ready > 0 || t >= deadline) return ready;
  }
}

void eraseFake(int fd) {
  const auto it = g_fakes.find(fd);
  if (it == g_fakes.end()) return;
  freeBuffers(fd, it->second);
  release(it->second);
  g_fakes.erase(it);
  g_count = g_fakes.size();
}

// A descriptor for a node, -1 with errno, or kNotOurs.
int openFake(const char* path, int flags) {
  if (!active()) return kNotOurs;
  const Config& c = cfg();
  const bool meta = !c.meta.empty() && c.meta == path;
  if (!meta && c.camera != path) return kNotOurs;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (checkUnplug()) return fail(ENOENT);
  if (c.deny) return fail(EACCES);
  // A real descriptor, so that numbers stay unique and close(), dup() and fcntl() just work.
  const int fd = REAL(open)("/dev/null", flags & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC));
  if (fd < 0) return -1;
  eraseFake(fd);  // one closed behind our back
  Fake& f = g_fakes[fd];
  f.meta = meta;
  f.unplugs = g_unplugs;
  g_count = g_fakes.size();
  return fd;
}

// The nodes as devtmpfs shows them.
void fillNode(struct stat* st, unsigned minor) {
  st->st_mode = S_IFCHR | 0660;
  st->st_rdev = makedev(81, minor);
  st->st_ino = 1000 + minor;
}

// 0, -1 with errno, or kNotOurs.
int statFake(const char* path, struct stat* st) {
  if (!active()) return kNotOurs;
  const Config& c = cfg();
  const bool meta = !c.meta.empty() && c.meta == path;
  if (!meta && c.camera != path) return kNotOurs;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (checkUnplug()) return fail(ENOENT);
  }
  *st = {};
  st->st_dev = makedev(0, 5);
  st->st_nlink = 1;
  st->st_gid = 44;  // video
  st->st_blksize = 4096;
  fillNode(st, meta ? c.metaMinor : c.cameraMinor);
  return 0;
}

int fstatFake(int fd, struct stat* st) {
  if (!active() || g_count == 0) return kNotOurs;
  unsigned minor;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Fake* f = find(fd);
    if (f == nullptr) return kNotOurs;
    minor = f->meta ? cfg().metaMinor : cfg().cameraMinor;
  }
  if (REAL(fstat)(fd, st) != 0) return -1;
  fillNode(st, minor);
  return 0;
}

mode_t modeArgument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
}

}  // namespace

#define OPEN(name, match, ...)                   \
  va_list args;                                  \
  va_start(args, flags);                         \
  const mode_t mode = modeArgument(flags, args); \
  va_end(args);                                  \
  const int fd = openFake(match, flags);         \
  return fd != kNotOurs ? fd : REAL(name)(__VA_ARGS__, flags, mode)

// A path relative to a folder's descriptor is never the node's.
#define AT_PATH(dir, path) ((dir) == AT_FDCWD || (path)[0] == '/' ? (path) : "")

extern "C" int open(const char* path, int flags, ...) { OPEN(open, path, path); }
extern "C" int open64(const char* path, int flags, ...) { OPEN(open64, path, path); }
extern "C" int openat(int dir, const char* path, int flags, ...) {
  OPEN(openat, AT_PATH(dir, path), dir, path);
}
extern "C" int openat64(int dir, const char* path, int flags, ...) {
  OPEN(openat64, AT_PATH(dir, path), dir, path);
}
#define OPEN2(name, match, ...)          \
  const int fd = openFake(match, flags); \
  return fd != kNotOurs ? fd : REAL(name)(__VA_ARGS__, flags)
extern "C" int __open_2(const char* path, int flags) { OPEN2(__open_2, path, path); }
extern "C" int __open64_2(const char* path, int flags) { OPEN2(__open64_2, path, path); }
extern "C" int __openat_2(int dir, const char* path, int flags) {
  OPEN2(__openat_2, AT_PATH(dir, path), dir, path);
}
extern "C" int __openat64_2(int dir, const char* path, int flags) {
  OPEN2(__openat64_2, AT_PATH(dir, path), dir, path);
}

extern "C" int close(int fd) {
  if (active()) {
    if (fd >= 0 && fd == g_inotify) return 0;  // ours; its number must not be given out again
    if (g_count > 0) {
      std::lock_guard<std::mutex> lock(g_mutex);
      eraseFake(fd);
    }
  }
  return REAL(close)(fd);
}

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (!active() || g_count == 0) return REAL(ioctl)(fd, request, arg);
  std::unique_lock<std::mutex> lock(g_mutex);
  for (;;) {
    Fake* f = find(fd);
    if (f == nullptr) {
      lock.unlock();
      return REAL(ioctl)(fd, request, arg);
    }
    checkUnplug();
    const int error = cameraIoctl(fd, *f, request, arg);
    if (error == 0) return 0;
    if (error != EAGAIN || request != VIDIOC_DQBUF || (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) {
      return fail(error);
    }
    // A blocking DQBUF sleeps until a frame fills a buffer (or the plug goes).
    const std::int64_t wait =
        std::max<std::int64_t>(0, std::min(nextFill(*f), now() + kSliceNs) - now());
    lock.unlock();
    pollfd unplug{g_inotify, POLLIN, 0};
    const timespec span{wait / kSecond, wait % kSecond};
    if (ppoll(&unplug, 1, &span, nullptr) < 0) return -1;
    lock.lock();
  }
}

extern "C" void* mmap(void* addr, size_t length, int prot, int flags, int fd,
                      off_t offset) __THROW {
  if (fd < 0 || !active() || g_count == 0) return REAL(mmap)(addr, length, prot, flags, fd, offset);
  std::lock_guard<std::mutex> lock(g_mutex);
  Fake* f = find(fd);
  if (f == nullptr) return REAL(mmap)(addr, length, prot, flags, fd, offset);
  checkUnplug();
  const std::size_t index = f->stride == 0 ? 0 : static_cast<std::size_t>(offset) / f->stride;
  if (f->dead) {
    errno = ENODEV;
  } else if (f->stride == 0 || offset < 0 || static_cast<std::size_t>(offset) % f->stride != 0 ||
             index >= f->buffers.size() || length > f->stride || (flags & MAP_SHARED) == 0) {
    errno = EINVAL;
  } else {
    void* memory = REAL(mmap)(addr, length, prot, flags, f->memFd, offset);
    if (memory != MAP_FAILED) {
      g_maps[memory] = {fd, static_cast<unsigned>(index)};
      ++f->buffers[index].maps;
    }
    return memory;
  }
  return MAP_FAILED;
}
extern "C" void* mmap64(void* addr, size_t length, int prot, int flags, int fd,
                        off64_t offset) __THROW {
  return mmap(addr, length, prot, flags, fd, offset);
}

extern "C" int munmap(void* addr, size_t length) __THROW {
  if (active() && g_count > 0) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_maps.find(addr);
    if (it != g_maps.end()) {
      if (Fake* f = find(it->second.first)) --f->buffers[it->second.second].maps;
      g_maps.erase(it);
    }
  }
  return REAL(munmap)(addr, length);
}

extern "C" int poll(pollfd* fds, nfds_t n, int timeout) {
  if (!active() || g_count == 0 || !anyFake(fds, n)) return REAL(poll)(fds, n, timeout);
  return waitFor(fds, n, timeout < 0 ? -1 : timeout * std::int64_t{1000000});
}

extern "C" int select(int n, fd_set* read, fd_set* write, fd_set* except, timeval* timeout) {
  if (!active() || g_count == 0) return REAL(select)(n, read, write, except, timeout);
  std::vector<pollfd> fds;
  const auto in = [](fd_set* set, int fd) { return set != nullptr && FD_ISSET(fd, set); };
  for (int fd = 0; fd < std::min(n, FD_SETSIZE); ++fd) {
    const short events = (in(read, fd) ? POLLIN | POLLRDNORM : 0) |
                         (in(write, fd) ? POLLOUT | POLLWRNORM : 0) |
                         (in(except, fd) ? POLLPRI : 0);
    if (events != 0) fds.push_back({fd, events, 0});
  }
  if (!anyFake(fds.data(), fds.size())) return REAL(select)(n, read, write, except, timeout);
  const std::int64_t start = now();
  const std::int64_t span =
      timeout == nullptr ? -1 : timeout->tv_sec * kSecond + timeout->tv_usec * std::int64_t{1000};
  if (waitFor(fds.data(), fds.size(), span) < 0) return -1;
  if (timeout != nullptr) {
    const std::int64_t left = std::max<std::int64_t>(0, span - (now() - start));
    *timeout = {left / kSecond, left % kSecond / 1000};
  }
  int count = 0;
  for (const pollfd& p : fds) {
    if (p.revents & POLLNVAL) return fail(EBADF);
  }
  // The kernel's POLLIN_SET, POLLOUT_SET and POLLEX_SET.
  for (const pollfd& p : fds) {
    const auto mark = [&](fd_set* set, short asked, short got) {
      if (set == nullptr || !(p.events & asked)) return;
      FD_CLR(p.fd, set);
      if (p.revents & got) FD_SET(p.fd, set), ++count;
    };
    mark(read, POLLIN, POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR);
    mark(write, POLLOUT, POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR);
    mark(except, POLLPRI, POLLPRI);
  }
  return count;
}

#define STAT(name, type)                                                \
  extern "C" int name(const char* path, struct type* st) __THROW {      \
    const int got = statFake(path, reinterpret_cast<struct stat*>(st)); \
    return got != kNotOurs ? got : REAL(name)(path, st);                \
  }
#define FSTAT(name, type)                                              \
  extern "C" int name(int fd, struct type* st) __THROW {               \
    const int got = fstatFake(fd, reinterpret_cast<struct stat*>(st)); \
    return got != kNotOurs ? got : REAL(name)(fd, st);                 \
  }
#define XSTAT(name, type, fake, first)                            \
  extern "C" int name(int version, first, struct type* st) {      \
    const int got = fake(at, reinterpret_cast<struct stat*>(st)); \
    return got != kNotOurs ? got : REAL(name)(version, at, st);   \
  }
#define FSTATAT(name, type)                                                                    \
  extern "C" int name(int dir, const char* path, struct type* st, int flags) __THROW {         \
    struct stat* s = reinterpret_cast<struct stat*>(st);                                       \
    const int got = path[0] == 0 && (flags & AT_EMPTY_PATH) ? fstatFake(dir, s)                \
                                                            : statFake(AT_PATH(dir, path), s); \
    return got != kNotOurs ? got : REAL(name)(dir, path, st, flags);                           \
  }
static_assert(sizeof(struct stat) == sizeof(struct stat64), "one layout on 64-bit Linux");
STAT(stat, stat)
STAT(stat64, stat64)
STAT(lstat, stat)
STAT(lstat64, stat64)
FSTAT(fstat, stat)
FSTAT(fstat64, stat64)
FSTATAT(fstatat, stat)
FSTATAT(fstatat64, stat64)
XSTAT(__xstat, stat, statFake, const char* at)
XSTAT(__xstat64, stat64, statFake, const char* at)
XSTAT(__lxstat, stat, statFake, const char* at)
XSTAT(__lxstat64, stat64, statFake, const char* at)
XSTAT(__fxstat, stat, fstatFake, int at)
XSTAT(__fxstat64, stat64, fstatFake, int at)

extern "C" int access(const char* path, int mode) __THROW {
  struct stat st;
  const int got = statFake(path, &st);
  if (got == kNotOurs) return REAL(access)(path, mode);
  if (got != 0) return got;
  return (mode & X_OK) != 0 || (mode != F_OK && cfg().deny) ? fail(EACCES) : 0;
}

extern "C" int statx(int dir, const char* path, int flags, unsigned mask, struct statx* out) {
  struct stat st;
  const int got = path[0] == 0 && (flags & AT_EMPTY_PATH) ? fstatFake(dir, &st)
                                                          : statFake(AT_PATH(dir, path), &st);
  if (got == kNotOurs) return REAL(statx)(dir, path, flags, mask, out);
  if (got != 0) return got;
  *out = {};
  out->stx_mask = STATX_BASIC_STATS;
  out->stx_blksize = static_cast<std::uint32_t>(st.st_blksize);
  out->stx_nlink = static_cast<std::uint32_t>(st.st_nlink);
  out->stx_gid = st.st_gid;
  out->stx_mode = static_cast<std::uint16_t>(st.st_mode);
  out->stx_ino = st.st_ino;
  out->stx_rdev_major = major(st.st_rdev), out->stx_rdev_minor = minor(st.st_rdev);
  out->stx_dev_major = major(st.st_dev), out->stx_dev_minor = minor(st.st_dev);
  return 0;
}
