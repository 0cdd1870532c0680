// Loading the module that holds OpenCV's image codecs and camera capture
// (opencv_module.cpp): beside the executable in a build folder, or where the package puts it,
// found from the installed executable so that an unpacked package works where it lies.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "capture/source_internal.h"

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
  loaded.module.camera =
      reinterpret_cast<decltype(OpenCvModule::camera)>(dlsym(handle, "lumivaneCameraReader"));
  loaded.ok = loaded.module.readsPicture != nullptr && loaded.module.decode != nullptr &&
              loaded.module.camera != nullptr;
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

std::unique_ptr<Reader> makeCameraReader(int index) {
  const OpenCvModule* module = openCvModule();
  return std::unique_ptr<Reader>(module != nullptr ? module->camera(index) : nullptr);
}
