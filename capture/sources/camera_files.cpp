// The files 360 cameras write, told apart by their picture tracks, their names and an Insta360
// trailer: GoPro MAX's two strips of a cubemap, and Insta360's two lenses in one track, in two
// tracks, or in two files recorded together.
extern "C" {
#include <libavformat/avformat.h>
}
#include <gst/video/video-color.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "capture/sources/internal.h"

namespace {

struct Track {
  int width = 0, height = 0;
  double fps = 0, seconds = 0;
  std::vector<double> keys;  // seconds from the track's first picture, of its key frames
};

// The most key frames kept of a track: 18 hours of them at one a second.
constexpr std::size_t kMaxKeys = 1 << 16;

// The picture tracks of a file, in the file's order; cover pictures are not tracks.
std::vector<Track> pictureTracks(const AVFormatContext* context) {
  std::vector<Track> tracks;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    AVStream* stream = context->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
        (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
      continue;
    }
    Track track;
    track.width = stream->codecpar->width;
    track.height = stream->codecpar->height;
    track.fps = av_q2d(stream->avg_frame_rate);
    if (stream->duration > 0) track.seconds = stream->duration * av_q2d(stream->time_base);
    // An MP4's index lists every picture from its headers.
    const int entries = avformat_index_get_entries_count(stream);
    const AVIndexEntry* first = entries > 0 ? avformat_index_get_entry(stream, 0) : nullptr;
    for (int e = 0; e < entries && track.keys.size() < kMaxKeys; ++e) {
      const AVIndexEntry* entry = avformat_index_get_entry(stream, e);
      if ((entry->flags & AVINDEX_KEYFRAME) != 0) {
        track.keys.push_back((entry->timestamp - first->timestamp) * av_q2d(stream->time_base));
      }
    }
    tracks.push_back(track);
  }
  return tracks;
}

// The demuxer that joins the pictures of a recording reads MP4 and QuickTime files, as the
// cameras write them.
bool isMp4(const AVFormatContext* context) {
  return context->iformat != nullptr && std::strstr(context->iformat->name, "mp4") != nullptr;
}

// The first picture track of the MP4 file at `path`, if it can be read.
bool firstTrack(const std::string& path, Track* track) {
  const FormatPtr context = openFileHeaders(path);
  if (context == nullptr || !isMp4(context.get())) return false;
  const std::vector<Track> tracks = pictureTracks(context.get());
  if (tracks.empty()) return false;
  *track = tracks.front();
  return true;
}

bool sameSize(const Track& a, const Track& b) { return a.width == b.width && a.height == b.height; }
// Rates within a thousandth of each other: a timescale's rounding is not another rate.
bool sameRate(const Track& a, const Track& b) {
  return std::fabs(a.fps - b.fps) <= 1e-3 * std::max(a.fps, b.fps);
}
// Lengths apart by more than a picture.
bool differInLength(const Track& a, const Track& b) {
  return a.seconds > 0 && b.seconds > 0 && a.fps > 0 &&
         std::fabs(a.seconds - b.seconds) > 1.0 / a.fps + 1e-3;
}

// The times at which both tracks have a key frame, within half a picture: where the two can
// skip ahead together.
std::vector<double> commonKeys(const Track& a, const Track& b) {
  const double near = a.fps > 0 ? 0.5 / a.fps : 0.01;
  std::vector<double> common;
  std::size_t j = 0;
  for (const double key : a.keys) {
    while (j < b.keys.size() && b.keys[j] < key - near) ++j;
    if (j < b.keys.size() && b.keys[j] <= key + near) common.push_back(key);
  }
  return common;
}

// "2272x736 at 30 fps"
std::string sizeText(const Track& track) {
  char rate[32];
  std::snprintf(rate, sizeof rate, " at %g fps", std::round(track.fps * 100) / 100);
  return std::to_string(track.width) + "x" + std::to_string(track.height) + rate;
}
std::string lengthText(const Track& track) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", track.seconds);
  return text;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// GoPro MAX's modes: each track's size, and the blend width of the band in its side tiles.
struct GoProMode {
  int width, height, band;
};
constexpr GoProMode kGoProModes[] = {{4096, 1344, 32}, {2272, 736, 16}};

// The partner of one lens of an Insta360 pair: its name with _00_ and _10_ swapped (the last in
// the name), in the same folder; empty for a name with neither. `left` says whether `path` is
// the left lens (_00_).
std::string pairPartner(const std::string& path, bool* left) {
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t first = path.rfind("_00_"), second = path.rfind("_10_");
  const size_t at = first == std::string::npos    ? second
                    : second == std::string::npos ? first
                                                  : std::max(first, second);
  if (at == std::string::npos || at < nameStart) return "";
  *left = at == first;
  std::string partner = path;
  partner.replace(at, 4, *left ? "_10_" : "_00_");
  return partner;
}

// The colours of the first picture track as its stream states them, which FFmpeg reads from the
// stream itself: GStreamer takes an MP4's H.264 of full range for limited. Empty when the stream
// leaves its range unsaid.
std::string statedColours(AVFormatContext* context) {
  if (avformat_find_stream_info(context, nullptr) < 0) return "";
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* codec = context->streams[i]->codecpar;
    if (codec->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (codec->color_range != AVCOL_RANGE_JPEG && codec->color_range != AVCOL_RANGE_MPEG) break;
    GstVideoColorimetry colours{};
    colours.range = codec->color_range == AVCOL_RANGE_JPEG ? GST_VIDEO_COLOR_RANGE_0_255
                                                           : GST_VIDEO_COLOR_RANGE_16_235;
    // BT.709 where the stream names no matrix, as for any HD picture.
    colours.matrix = gst_video_color_matrix_from_iso(codec->color_space);
    if (colours.matrix == GST_VIDEO_COLOR_MATRIX_UNKNOWN)
      colours.matrix = GST_VIDEO_COLOR_MATRIX_BT709;
    colours.transfer = gst_video_transfer_function_from_iso(codec->color_trc);
    colours.primaries = gst_video_color_primaries_from_iso(codec->color_primaries);
    gchar* text = gst_video_colorimetry_to_string(&colours);
    const std::string said = text != nullptr ? text : "";
    g_free(text);
    return said;
  }
  return "";
}

}  // namespace

bool recogniseRecording(AVFormatContext* context, const std::string& path, Layout* layout,
                        Joined* joined, std::vector<std::string>* notes) {
  const std::vector<Track> tracks = pictureTracks(context);
  if (tracks.empty()) return false;
  const bool joins = isMp4(context);
  const size_t slash = path.rfind('/');
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : lowered(name.substr(dot + 1));
  Joined join;
  join.left = path;
  join.width = tracks.front().width;
  join.height = tracks.front().height;

  // GoPro MAX: two strips of three faces each, whatever the file is called.
  const GoProMode* mode = nullptr;
  for (const GoProMode& m : kGoProModes) {
    if (tracks[0].width == m.width && tracks[0].height == m.height) mode = &m;
  }
  if (joins && tracks.size() >= 2 && mode != nullptr && sameSize(tracks[0], tracks[1])) {
    if (!sameRate(tracks[0], tracks[1])) {
      notes->push_back("has GoPro MAX's picture tracks at different rates (" + sizeText(tracks[0]) +
                       " and " + sizeText(tracks[1]) + "); showing the first as it is");
      layout->described = true;  // said: no layout hint besides
      return false;
    }
    layout->projection = Projection::goproMax;
    layout->bandShare = static_cast<double>(mode->band) / mode->width;
    layout->described = true;
    join.how = Joining::stacked;
    join.keys = commonKeys(tracks[0], tracks[1]);
    // The camera's colours are full-range BT.709: those the stream states, else these.
    join.colours = statedColours(context);
    if (join.colours.empty()) join.colours = "1:3:5:1";
    if (differInLength(tracks[0], tracks[1])) {
      notes->push_back("has picture tracks of different lengths (" + lengthText(tracks[0]) +
                       " and " + lengthText(tracks[1]) + "); what both hold is shown whole");
    }
    *joined = join;
    return true;
  }
  if (extension == "360" && tracks.size() == 1) {
    notes->push_back("holds one picture track, not GoPro MAX's two; showing it as it is");
    layout->described = true;
    return false;
  }

  // Insta360: by its extension, a preview's name, or its trailer.
  const InsvTrailer trailer = readInsvTrailer(path);
  if (trailer == InsvTrailer::damaged) {
    notes->push_back("ends in a damaged Insta360 trailer; it is not read");
  }
  const bool preview = lowered(name).rfind("lrv_", 0) == 0 &&
                       (extension == "lrv" || extension == "mp4" || extension == "insv");
  if ((extension != "insv" && trailer != InsvTrailer::valid && !preview) ||
      (!joins && tracks.size() >= 2)) {
    if (tracks.size() >= 2) {
      notes->push_back("has two picture tracks (" + sizeText(tracks[0]) + " and " +
                       sizeText(tracks[1]) + ") and no known camera's layout; showing the first");
      layout->described = true;  // said: no layout hint besides
    }
    return false;
  }
  layout->projection = Projection::dualFisheye;
  layout->fisheyeFovDeg = kDefaultFisheyeFovDeg;
  layout->described = true;
  join.colours = statedColours(context);
  if (tracks.size() >= 2) {
    if (!sameSize(tracks[0], tracks[1]) || !sameRate(tracks[0], tracks[1])) {
      notes->push_back("has lenses of different sizes or rates (" + sizeText(tracks[0]) + " and " +
                       sizeText(tracks[1]) + "); showing the first");
      join.how = Joining::oneOfTwo;
      join.keys = tracks[0].keys;
    } else {
      join.how = Joining::sideBySide;
      join.keys = commonKeys(tracks[0], tracks[1]);
      if (differInLength(tracks[0], tracks[1])) {
        notes->push_back("has lenses of different lengths (" + lengthText(tracks[0]) + " and " +
                         lengthText(tracks[1]) + "); what both hold is shown whole");
      }
    }
    *joined = join;
    return true;
  }
  // One track: both circles side by side, or one lens of a pair of files.
  if (tracks[0].width >= 3 * tracks[0].height / 2 || !joins) {
    *joined = join;  // one frame as it is, in its stated colours
    return true;
  }
  bool left = true;
  const std::string partner = pairPartner(path, &left);
  join.how = Joining::oneOfTwo;
  join.keys = tracks[0].keys;
  if (!left) {
    join.left.clear();
    join.right = path;
  }
  Track other;
  if (partner.empty()) {
    notes->push_back("holds one lens and names no partner (_00_ or _10_); showing the one lens");
  } else if (!firstTrack(partner, &other)) {
    notes->push_back("holds one lens, and its partner " + printableText(partner) +
                     " is not there or is not a video it can read; showing the one lens");
  } else if (!sameSize(tracks[0], other) || !sameRate(tracks[0], other)) {
    notes->push_back("holds one lens, and its partner " + printableText(partner) + " is " +
                     sizeText(other) + ", not " + sizeText(tracks[0]) + "; showing the one lens");
  } else {
    join.how = Joining::twoFiles;
    join.keys = commonKeys(tracks[0], other);
    (left ? join.right : join.left) = partner;
    if (differInLength(tracks[0], other)) {
      notes->push_back("and its partner " + printableText(partner) + " differ in length (" +
                       lengthText(tracks[0]) + " and " + lengthText(other) +
                       "); what both hold is shown whole");
    }
  }
  *joined = join;
  return true;
}
