// Loading the module that holds OpenCV's image codecs and camera capture
// (opencv_module.cpp): beside the executable in a build folder, or where the package puts it,
// found from the installed executable so that an unpacked package works where it lies.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "capture/sources/internal.h"

#ifndef LUMIVANE_MODULE_FROM_BINDIR
#define LUMIVANE_MODULE_FROM_BINDIR "../lib/lumivane"
#endif

namespace {

constexpr char kModuleName[] = "lumivane-opencv.so";

struct Loaded {
  OpenCvModule module{};
  bool tried = false;
  bool ok = false;
  std::string problem;
};

Loaded loaded;

std::string executableDir() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return ".";
  const std::string path(self, static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

void loadModule() {
  // The codecs read their size limit once, as they load: ours holds, whatever the
  // environment said.
  setenv("OPENCV_IO_MAX_IMAGE_PIXELS", std::to_string(kMaxPicturePixels).c_str(), 1);
  // OpenCV's camera capture waits up to this many seconds in select() for a frame that is not
  // there yet (on its first grab, and on EBUSY or EAGAIN); the window must never wait for one.
  setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "0", 1);
  const std::string dir = executableDir();
  void* handle = nullptr;
  for (const std::string& path :
       {dir + "/" + kModuleName, dir + "/" LUMIVANE_MODULE_FROM_BINDIR "/" + kModuleName}) {
    if (access(path.c_str(), F_OK) != 0) continue;
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      loaded.problem = std::string("its part ") + kModuleName + " does not load (" +
                       (why != nullptr ? why : "") + ")";
      return;
    }
    break;
  }
  if (handle == nullptr) {
    loaded.problem = std::string("its part ") + kModuleName + " is not installed";
    return;
  }
  // Never closed: readers made by it live until the viewer ends.
  loaded.module.readsPicture = reinterpret_cast<decltype(OpenCvModule::readsPicture)>(
      dlsym(handle, "lumivaneLibraryReadsPicture"));
  loaded.module.decode =
      reinterpret_cast<decltype(OpenCvModule::decode)>(dlsym(handle, "lumivaneLibraryDecode"));
  loaded.module.openCamera =
      reinterpret_cast<decltype(OpenCvModule::openCamera)>(dlsym(handle, "lumivaneOpenCamera"));
  loaded.module.newestCameraFrame = reinterpret_cast<decltype(OpenCvModule::newestCameraFrame)>(
      dlsym(handle, "lumivaneNewestCameraFrame"));
  loaded.module.closeCamera =
      reinterpret_cast<decltype(OpenCvModule::closeCamera)>(dlsym(handle, "lumivaneCloseCamera"));
  loaded.ok = loaded.module.readsPicture != nullptr && loaded.module.decode != nullptr &&
              loaded.module.openCamera != nullptr && loaded.module.newestCameraFrame != nullptr &&
              loaded.module.closeCamera != nullptr;
  if (!loaded.ok)
    loaded.problem = std::string("its part ") + kModuleName + " is from another build";
}

}  // namespace

const OpenCvModule* openCvModule(bool load) {
  if (!loaded.tried && load) {
    loaded.tried = true;
    loadModule();
  }
  return loaded.ok ? &loaded.module : nullptr;
}

const std::string& openCvModuleProblem() { return loaded.problem; }
