// What a file says about its layout: the spherical and stereo side data that FFmpeg's demuxers
// read from a video's headers (spherical video V1 and V2 in MP4 and MOV, Matroska's
// projection), and a still picture's GPano XMP, read through Exiv2.
#include <sys/stat.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/spherical.h>
#include <libavutil/stereo3d.h>
}
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <map>
#include <memory>

#include "capture/sources/internal.h"

namespace {

// 16.16 fixed point, as the side data holds angles.
double fixedDegrees(std::int32_t value) { return value / 65536.0; }

// A video file's spherical and stereo side data. The file is opened for its headers alone; the
// frames are read elsewhere.
Layout readVideoLayout(const std::string& path, std::string* problem, Joined* joined,
                       std::vector<std::string>* notes) {
  Layout layout;
  const FormatPtr opened = openFileHeaders(path);
  AVFormatContext* context = opened.get();
  if (context == nullptr) return layout;
  // A camera's own recording carries no spherical metadata: its layout is the camera's.
  if (recogniseRecording(context, path, &layout, joined, notes)) return layout;
  const int index = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) return layout;
  const AVStream* stream = context->streams[index];
  size_t size = 0;
  const auto* spherical = reinterpret_cast<const AVSphericalMapping*>(
      av_stream_get_side_data(stream, AV_PKT_DATA_SPHERICAL, &size));
  if (spherical != nullptr && size >= sizeof(AVSphericalMapping)) {
    layout.described = true;
    switch (spherical->projection) {
      case AV_SPHERICAL_EQUIRECTANGULAR:
        break;
      case AV_SPHERICAL_EQUIRECTANGULAR_TILE: {
        // Bounds are 0.32 fixed-point shares of the full panorama.
        constexpr double kOne = 4294967296.0;
        layout.cropLeft = spherical->bound_left / kOne;
        layout.cropTop = spherical->bound_top / kOne;
        layout.cropRight = spherical->bound_right / kOne;
        layout.cropBottom = spherical->bound_bottom / kOne;
        if (layout.cropLeft + layout.cropRight >= 1.0 ||
            layout.cropTop + layout.cropBottom >= 1.0) {
          *problem = "has spherical bounds that leave nothing of the picture";
          return Layout{};
        }
        break;
      }
      case AV_SPHERICAL_CUBEMAP:
        // Faces with padding between them are another layout than the plain 3x2 one.
        if (spherical->padding != 0) {
          *problem = "has a spherical projection this viewer does not know";
          return Layout{};
        }
        layout.projection = Projection::cubemap;
        break;
      default:
        *problem = "has a spherical projection this viewer does not know";
        return Layout{};
    }
    layout.poseYawDeg = fixedDegrees(spherical->yaw);
    layout.posePitchDeg = fixedDegrees(spherical->pitch);
    layout.poseRollDeg = fixedDegrees(spherical->roll);
    if (std::fabs(layout.poseYawDeg) > 180.0 || std::fabs(layout.posePitchDeg) > 90.0 ||
        std::fabs(layout.poseRollDeg) > 180.0) {
      *problem = "has a spherical pose out of range";
      return Layout{};
    }
  }
  const auto* stereo = reinterpret_cast<const AVStereo3D*>(
      av_stream_get_side_data(stream, AV_PKT_DATA_STEREO3D, &size));
  if (stereo != nullptr && size >= sizeof(AVStereo3D)) {
    layout.described = true;
    switch (stereo->type) {
      case AV_STEREO3D_2D:
        break;
      case AV_STEREO3D_TOPBOTTOM:
        layout.stereo = Stereo::topBottom;
        break;
      case AV_STEREO3D_SIDEBYSIDE:
        layout.stereo = Stereo::leftRight;
        break;
      default:
        *problem = "has a stereo layout other than top-bottom or side by side";
        return Layout{};
    }
  }
  return layout;
}

// A GPano number, or NaN when it is absent or not a number.
double gpanoNumber(const std::map<std::string, std::string>& gpano, const std::string& name) {
  const auto found = gpano.find(name);
  if (found == gpano.end()) return NAN;
  char* end = nullptr;
  const double value = std::strtod(found->second.c_str(), &end);
  return (end != found->second.c_str() && *end == '\0' && std::isfinite(value)) ? value : NAN;
}

// A photo sphere's GPano XMP: an equirectangular picture, perhaps of part of the sphere.
Layout readPictureLayout(const std::string& path, std::string* problem) {
  Layout layout;
  std::map<std::string, std::string> gpano;
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    // Through a plain file: given a name, Exiv2 reads "-" from stdin and "http://..." from the
    // network.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Exiv2::BasicIo::AutoPtr file(new Exiv2::FileIo(path));
    auto image = Exiv2::ImageFactory::open(file);
#pragma GCC diagnostic pop
    // Null, not an exception, for a format Exiv2 does not know (PNM, HDR, OpenEXR, ...).
    if (image.get() == nullptr) return Layout{};
    image->readMetadata();
    for (const Exiv2::Xmpdatum& datum : image->xmpData()) {
      if (datum.groupName() == "GPano") gpano[datum.tagName()] = datum.toString();
    }
  } catch (const std::exception&) {
    return layout;  // no metadata that can be read: a plain picture
  }
  if (gpano.empty()) return layout;
  const auto type = gpano.find("ProjectionType");
  if (type == gpano.end() || type->second != "equirectangular") {
    *problem = "has a GPano projection other than equirectangular";
    return layout;
  }
  layout.described = true;
  const double fullW = gpanoNumber(gpano, "FullPanoWidthPixels");
  const double fullH = gpanoNumber(gpano, "FullPanoHeightPixels");
  const double cropW = gpanoNumber(gpano, "CroppedAreaImageWidthPixels");
  const double cropH = gpanoNumber(gpano, "CroppedAreaImageHeightPixels");
  const double left = gpanoNumber(gpano, "CroppedAreaLeftPixels");
  const double top = gpanoNumber(gpano, "CroppedAreaTopPixels");
  const int given = !std::isnan(fullW) + !std::isnan(fullH) + !std::isnan(cropW) +
                    !std::isnan(cropH) + !std::isnan(left) + !std::isnan(top);
  if (given == 0 && gpano.count("FullPanoWidthPixels") == 0) return layout;  // a whole sphere
  // The numbers are the full panorama's pixels; the picture itself may have been scaled since,
  // so only their shares count.
  if (given != 6 || fullW <= 0 || fullH <= 0 || cropW <= 0 || cropH <= 0 || left < 0 || top < 0 ||
      left + cropW > fullW || top + cropH > fullH) {
    *problem = "has GPano cropped-area numbers that do not fit its full panorama";
    return Layout{};
  }
  layout.cropLeft = left / fullW;
  layout.cropTop = top / fullH;
  layout.cropRight = (fullW - left - cropW) / fullW;
  layout.cropBottom = (fullH - top - cropH) / fullH;
  return layout;
}

}  // namespace

void FormatClose::operator()(AVFormatContext* context) const { avformat_close_input(&context); }

FormatPtr openFileHeaders(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  av_log_set_level(AV_LOG_QUIET);
  AVFormatContext* context = nullptr;
  // "file:" keeps a name that holds "://" a file, never a network address.
  if (avformat_open_input(&context, ("file:" + path).c_str(), nullptr, nullptr) < 0) return nullptr;
  return FormatPtr(context);
}

std::string unreadableVideo(const std::string& path) {
  const FormatPtr context = openFileHeaders(path);
  if (context == nullptr) return "";
  // GStreamer's NUT reader (libav's demuxer in its own loop) dies of large raw pictures.
  if (std::string(context->iformat->name) != "nut") return "";
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* codec = context->streams[i]->codecpar;
    if (codec->codec_type == AVMEDIA_TYPE_VIDEO && codec->codec_id == AV_CODEC_ID_RAWVIDEO) {
      return "raw video in a NUT file, which the viewer cannot read";
    }
  }
  return "";
}

Layout readFileLayout(const std::string& path, std::string* problem, Joined* joined,
                      std::vector<std::string>* notes) {
  problem->clear();
  Joined unused;
  std::vector<std::string> unsaid;
  // A FIFO or a device would block the first read; opening the source says why it is refused.
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return Layout{};
  try {
    return isPictureFile(path)
               ? readPictureLayout(path, problem)
               : readVideoLayout(path, problem, joined != nullptr ? joined : &unused,
                                 notes != nullptr ? notes : &unsaid);
  } catch (const std::exception&) {
    return Layout{};  // what cannot be read is reported when the frames are opened
  }
}
