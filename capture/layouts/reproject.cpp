// Reprojection: whatever a frame holds (two fisheye circles, a cubemap, one eye of a stereo pair,
// part of the sphere, a tilted camera) turned into the whole equirectangular picture the sphere
// takes. The mapping is pure arithmetic, built into remap tables once per frame size and layout.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "capture/layouts/layouts.h"

namespace {

// Beyond a picture of part of the sphere: a dark neutral grey, so the gap reads as "nothing
// here" rather than as a black night sky.
const cv::Scalar kBeyondCrop(48, 48, 48);
// A picture of part of the sphere may always be this large, in pixels: 4096 by 2048.
constexpr int kSmallPicture = 4096 * 2048;
// Remap tables are made this many rows at a time.
constexpr int kStripRows = 64;

// Directions are v360's: x to the right, y down, z straight ahead (the picture's middle).
using Vec = cv::Vec3d;
using Mat3 = cv::Matx33d;

double radians(double degrees) { return degrees * CV_PI / 180.0; }

// A turn in radians, whole turns taken off first: 1e308 degrees would make an infinite angle,
// and its sine a NaN in every table. What is not a number at all turns nothing.
double turnRadians(double degrees) {
  return std::isfinite(degrees) ? radians(std::fmod(degrees, 360.0)) : 0.0;
}

// `value` kept within [low, high]; a face narrower than a pixel, in a frame of a few pixels, is
// kept at its first.
double within(double value, double low, double high) {
  return std::max(low, std::min(value, high));
}

Mat3 aboutX(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return Mat3(1, 0, 0, 0, c, -s, 0, s, c);
}
Mat3 aboutY(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return Mat3(c, 0, s, 0, 1, 0, -s, 0, c);
}
Mat3 aboutZ(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return Mat3(c, -s, 0, s, c, 0, 0, 0, 1);
}

// Where a direction of the shown picture is looked up in the frame's sphere. The turn is v360's
// (yaw, then pitch, then roll, composed as its default order "ypr"), checked against its
// pictures. The pose turns the projection into the world (counter-clockwise about the up, right
// and forward axes, each after the one before), so a direction of the world is looked up in the
// frame through the pose's inverse.
Mat3 lookupRotation(const Layout& layout) {
  const Mat3 turn = aboutY(turnRadians(layout.yawDeg)) * aboutX(turnRadians(layout.pitchDeg)) *
                    aboutZ(turnRadians(layout.rollDeg));
  // In these axes up is -y, right +x and forward +z, so the yaw is a turn about -y.
  const Mat3 pose = aboutY(-turnRadians(layout.poseYawDeg)) *
                    aboutX(turnRadians(layout.posePitchDeg)) *
                    aboutZ(turnRadians(layout.poseRollDeg));
  return pose.t() * turn;
}

// Where `d` lies in a whole equirectangular picture of `width` by `height`, pixel centres at
// whole numbers.
FramePlace equirectPlace(const cv::Vec3d& d, double width, double height) {
  const double lon = std::atan2(d[0], d[2]);
  const double lat = std::asin(std::clamp(d[1], -1.0, 1.0));
  FramePlace p;
  p.u = (lon / CV_PI + 1.0) * width / 2.0 - 0.5;
  p.v = (lat / (CV_PI / 2.0) + 1.0) * height / 2.0 - 0.5;
  p.seen = true;
  return p;
}

// The layout of v360's "dfisheye": each circle inscribed in its half, equidistant, both upright.
// The right lens looks at the middle of the panorama, the left one at its edge, mirrored as a lens
// facing the other way sees it. What neither lens saw (beyond fov/2 off both axes) is not seen.
FramePlace fisheyePlace(const LayoutGeometry& g, const cv::Vec3d& d) {
  FramePlace p;
  const double offAxis = std::acos(std::min(1.0, std::fabs(d[2])));
  if (offAxis > g.halfFov) return p;
  const double sideways = std::hypot(d[0], d[1]);
  // Equidistant: the distance from the circle's centre grows with the angle off its axis.
  const double r = offAxis / g.halfFov * g.radius;
  const double dx = sideways > 0.0 ? d[0] / sideways * r : 0.0;
  const double dy = sideways > 0.0 ? d[1] / sideways * r : 0.0;
  const double half = g.eye.width / 2.0;
  p.u = d[2] >= 0.0 ? g.rightCentreX + dx : g.leftCentreX - dx;
  p.v = g.centreY + dy;
  p.seen = true;
  p.within = d[2] >= 0.0
                 ? cv::Rect2d(std::ceil(half), 0, g.eye.width - std::ceil(half), g.eye.height)
                 : cv::Rect2d(0, 0, std::floor(half), g.eye.height);
  return p;
}

enum Face { kRight, kLeft, kUp, kDown, kFront, kBack };

// v360's cube: the face that `d` meets and where on it, each of u and v from -1 to 1. The face
// is the one of the largest component (v360 chooses it by angles, to the same effect; this takes
// no trigonometry, which matters with millions of pixels to map).
Face cubeFace(const cv::Vec3d& d, double* u, double* v) {
  const double ax = std::fabs(d[0]), ay = std::fabs(d[1]), az = std::fabs(d[2]);
  Face face;
  if (ay > ax && ay > az) {
    face = d[1] > 0.0 ? kDown : kUp;
  } else if (az >= ax) {
    face = d[2] >= 0.0 ? kFront : kBack;
  } else {
    face = d[0] > 0.0 ? kRight : kLeft;
  }
  switch (face) {
    case kRight:
      *u = -d[2] / d[0];
      *v = d[1] / d[0];
      break;
    case kLeft:
      *u = -d[2] / d[0];
      *v = -d[1] / d[0];
      break;
    case kUp:
      *u = -d[0] / d[1];
      *v = -d[2] / d[1];
      break;
    case kDown:
      *u = d[0] / d[1];
      *v = -d[2] / d[1];
      break;
    case kFront:
      *u = d[0] / d[2];
      *v = d[1] / d[2];
      break;
    case kBack:
      *u = d[0] / d[2];
      *v = -d[1] / d[2];
      break;
  }
  return face;
}

// A 3x2 cubemap as v360's "c3x2" with its defaults: right, left, up on top, down, front, back
// below, none turned.
FramePlace cubemapPlace(const LayoutGeometry& g, const cv::Vec3d& d) {
  double u = 0, v = 0;
  const int slot = cubeFace(d, &u, &v);  // the default order is the faces' own
  const double faceW = g.faceWidth, faceH = g.faceHeight;
  const double x0 = (slot % 3) * faceW, y0 = (slot / 3) * faceH;
  // Each face is sampled within itself, so that its edge does not blend with its neighbour.
  FramePlace p;
  p.u = within(x0 + (u + 1.0) * faceW / 2.0 - 0.5, x0, x0 + faceW - 1.0);
  p.v = within(y0 + (v + 1.0) * faceH / 2.0 - 0.5, y0, y0 + faceH - 1.0);
  p.seen = true;
  p.within = cv::Rect2d(x0, y0, faceW, faceH);
  return p;
}

// The equi-angular cubemap as v360 reads "eac" (YouTube's): left, front, right on top; down,
// back, up below, the lower ones turned a quarter; angles evenly spaced across each face, and
// two pixels of padding around the outside. GoPro MAX's is the same without the padding, its
// side tiles holding the band where the lenses meet.
FramePlace eacPlace(const LayoutGeometry& g, const cv::Vec3d& d) {
  double u = 0, v = 0;
  const Face face = cubeFace(d, &u, &v);
  static const int kSlot[] = {2, 0, 5, 3, 1, 4};  // by Face: right, left, up, down, front, back
  const int slot = kSlot[face];
  double t = 0.0;
  switch (slot) {
    case 3:
    case 5:  // a quarter turn one way
      t = -u;
      u = v;
      v = t;
      break;
    case 4:  // and the other
      t = u;
      u = -v;
      v = t;
      break;
    default:
      break;
  }
  // Equal angles take equal widths: from 0 to 1 across the face.
  u = std::atan(u) * 2.0 / CV_PI + 0.5;
  v = std::atan(v) * 2.0 / CV_PI + 0.5;
  const int column = slot % 3;
  const double tileW = column == 1 ? g.faceWidth : g.sideWidth;
  const double x0 = g.pad + (column == 0   ? 0.0
                             : column == 1 ? g.sideWidth
                                           : g.sideWidth + g.faceWidth);
  const double y0 = g.pad + (slot / 3) * (g.eye.height / 2.0);
  FramePlace p;
  double x = u * tileW;
  if (column != 1 && g.band > 0.0) {
    // The band: the face's columns left of the tile's middle, then those two blend widths on,
    // the two copies blended across the two blend widths before the middle.
    const double twice = 2.0 * g.band, middle = tileW / 2.0;
    x = u * (tileW - twice);
    if (x >= middle) {
      x += twice;
    } else if (x > middle - twice) {
      p.shift = twice;
      p.blend = (x - (middle - twice)) / twice;
    }
  }
  p.u = within(x0 + x, x0, x0 + tileW - 1.0);
  p.v = within(y0 + v * g.faceHeight, y0, y0 + g.faceHeight - 1.0);
  p.seen = true;
  p.within = cv::Rect2d(x0, y0, tileW, g.faceHeight);
  return p;
}

bool cropped(const Layout& layout) {
  return layout.cropLeft > 0.0 || layout.cropTop > 0.0 || layout.cropRight > 0.0 ||
         layout.cropBottom > 0.0;
}

// The part of the frame that holds the eye shown.
cv::Rect eyeRect(cv::Size frame, Stereo stereo) {
  switch (stereo) {
    case Stereo::topBottom:
      return cv::Rect(0, 0, frame.width, std::max(1, frame.height / 2));
    case Stereo::leftRight:
      return cv::Rect(0, 0, std::max(1, frame.width / 2), frame.height);
    case Stereo::mono:
      break;
  }
  return cv::Rect(cv::Point(0, 0), frame);
}

const char* const kLayoutAdvice =
    "try --projection=dual-fisheye|eac|cubemap or --stereo=top-bottom|left-right";

// One hint per source for frames that no option or metadata explains: those that are plainly two
// fisheye circles, and others far from 2:1. Only the first frame is looked at.
void hintOnce(Reprojector& reprojector, const cv::Mat& frame) {
  if (reprojector.saidHint || reprojector.layout.described) return;
  reprojector.saidHint = true;
  const std::string size = std::to_string(frame.cols) + "x" + std::to_string(frame.rows);
  const double aspect = static_cast<double>(frame.cols) / frame.rows;
  // Two circles come first: dual-fisheye cameras also deliver 16:9 webcam modes.
  if (looksDualFisheye(frame)) {
    std::fprintf(stderr,
                 "lumivane: frames of %s look like two fisheye circles side by side; try "
                 "--projection=dual-fisheye\n",
                 size.c_str());
  } else if (aspect < 1.9 || aspect > 2.1) {
    std::fprintf(stderr,
                 "lumivane: frames are %s, not 2:1 equirectangular; for another layout %s\n",
                 size.c_str(), kLayoutAdvice);
  }
}

// A cube's faces in an eye of this size are each at least a pixel (an equi-angular one also
// keeps its two pixels of padding).
bool facesFit(cv::Size eye, Projection projection) {
  switch (projection) {
    case Projection::cubemap:
      return eye.width >= 3 && eye.height >= 2;
    case Projection::eac:
      return eye.width >= 7 && eye.height >= 10;
    case Projection::goproMax:
      return eye.height >= 2 && eye.width >= eye.height / 2 + 2;
    case Projection::equirect:
    case Projection::dualFisheye:
      break;
  }
  return true;
}

}  // namespace

Layout mergeLayout(const LayoutOptions& options, const Layout& file) {
  Layout layout = file;
  if (options.projection) {
    layout.projection = *options.projection;
    layout.described = true;
  }
  // A crop belongs to an equirectangular picture; a projection given by hand overrides it.
  if (layout.projection != Projection::equirect) {
    layout.cropLeft = layout.cropTop = layout.cropRight = layout.cropBottom = 0.0;
  }
  if (options.fisheyeFovDeg) layout.fisheyeFovDeg = *options.fisheyeFovDeg;
  if (options.stereo) {
    layout.stereo = *options.stereo;
    layout.described = true;
  }
  layout.yawDeg = options.yawDeg.value_or(0.0);
  layout.pitchDeg = options.pitchDeg.value_or(0.0);
  layout.rollDeg = options.rollDeg.value_or(0.0);
  return layout;
}

bool needsReprojection(const Layout& layout) {
  return layout.projection != Projection::equirect || layout.stereo != Stereo::mono ||
         cropped(layout) || layout.yawDeg != 0.0 || layout.pitchDeg != 0.0 ||
         layout.rollDeg != 0.0 || layout.poseYawDeg != 0.0 || layout.posePitchDeg != 0.0 ||
         layout.poseRollDeg != 0.0;
}

cv::Size reprojectedSize(cv::Size frameSize, const Layout& layout, int maxSide) {
  const cv::Size eye = eyeRect(frameSize, layout.stereo).size();
  double width = eye.width, height = eye.height;
  switch (layout.projection) {
    case Projection::equirect:
      width /= std::max(1e-3, 1.0 - layout.cropLeft - layout.cropRight);
      height /= std::max(1e-3, 1.0 - layout.cropTop - layout.cropBottom);
      break;
    case Projection::dualFisheye:
      height = std::min(eye.width / 2.0, height);
      width = 2.0 * height;
      break;
    case Projection::eac:
    case Projection::cubemap:
    case Projection::goproMax:
      height = 2.0 * std::min(eye.width / 3.0, eye.height / 2.0);
      width = 2.0 * height;
      break;
  }
  // A picture of a sliver of the sphere must not make a huge one of the whole: at most four times
  // the frame's own detail (a photo sphere of 360 by 100 degrees needs 1.8).
  const double limit = std::min(static_cast<double>(kMaxPicturePixels),
                                std::max(4.0 * eye.area(), static_cast<double>(kSmallPicture)));
  const double scale =
      std::min({1.0, maxSide / width, maxSide / height, std::sqrt(limit / (width * height))});
  return cv::Size(std::max(2, static_cast<int>(width * scale)),
                  std::max(1, static_cast<int>(height * scale)));
}

LayoutGeometry layoutGeometry(cv::Size frameSize, const Layout& layout, int maxSide) {
  LayoutGeometry g;
  g.projection = layout.projection;
  g.frame = frameSize;
  g.eye = eyeRect(frameSize, layout.stereo).size();
  g.remapped = needsReprojection(layout);
  g.picture = g.remapped ? reprojectedSize(frameSize, layout, maxSide) : frameSize;
  g.cropped = cropped(layout);
  g.wraps = layout.projection == Projection::equirect && !g.cropped;
  g.border = g.cropped ? kBeyondCrop : cv::Scalar::all(0);
  g.rotation = lookupRotation(layout);
  g.wholeRow = layout.cropLeft <= 0.0 && layout.cropRight <= 0.0;
  g.fullWidth = g.eye.width / std::max(1e-3, 1.0 - layout.cropLeft - layout.cropRight);
  g.fullHeight = g.eye.height / std::max(1e-3, 1.0 - layout.cropTop - layout.cropBottom);
  g.cropLeftPx = layout.cropLeft * g.fullWidth;
  g.cropTopPx = layout.cropTop * g.fullHeight;
  const double half = g.eye.width / 2.0;
  const double diameter = std::min(half, static_cast<double>(g.eye.height));
  g.radius = (diameter - 1.0) / 2.0;
  g.centreY = (g.eye.height - 1.0) / 2.0;
  g.leftCentreX = (half - 1.0) / 2.0;
  g.rightCentreX = std::ceil(half) + g.leftCentreX;
  g.halfFov = radians(layout.fisheyeFovDeg) / 2.0;
  if (layout.projection == Projection::eac) {
    g.pad = 2.0;
    g.faceWidth = (g.eye.width - 2 * g.pad) / 3.0;
    g.faceHeight = g.eye.height / 2.0 - 2 * g.pad;
  } else if (layout.projection == Projection::goproMax) {
    // A face is as wide as the middle tile, which is as wide as a track is high.
    g.faceWidth = g.faceHeight = g.eye.height / 2.0;
    g.sideWidth = (g.eye.width - g.faceWidth) / 2.0;
    g.band = std::clamp(layout.bandShare * g.frame.width, 0.0, g.sideWidth / 4.0);
  } else {
    g.faceWidth = g.eye.width / 3.0;
    g.faceHeight = g.eye.height / 2.0;
  }
  if (layout.projection != Projection::goproMax) g.sideWidth = g.faceWidth;
  return g;
}

FramePlace framePlace(const LayoutGeometry& g, const cv::Vec3d& d) {
  switch (g.projection) {
    case Projection::dualFisheye:
      return fisheyePlace(g, d);
    case Projection::cubemap:
      return cubemapPlace(g, d);
    case Projection::eac:
    case Projection::goproMax:
      return eacPlace(g, d);
    case Projection::equirect:
      break;
  }
  const double width = g.eye.width, height = g.eye.height;
  FramePlace p = equirectPlace(d, g.fullWidth, g.fullHeight);
  p.u -= g.cropLeftPx;
  p.v -= g.cropTopPx;
  p.within = cv::Rect2d(0, 0, width, height);
  if (g.wholeRow) {
    // Wrapped here rather than by the border, so that what lies beyond a band's top and bottom
    // can still take the border's colour. Across the seam itself a sample takes the nearer edge
    // column instead of blending with the border.
    p.u -= std::floor((p.u + 0.5) / width) * width;
  }
  if (g.cropped) {
    p.seen = p.v > -0.5 && p.v < height - 0.5 && (g.wholeRow || (p.u > -0.5 && p.u < width - 0.5));
    p.u = std::clamp(p.u, 0.0, width - 1.0);
  }
  // Rows are not wrapped: the poles' rows stand for themselves.
  p.v = std::clamp(p.v, 0.0, height - 1.0);
  return p;
}

void buildReprojectionMaps(cv::Size frameSize, const Layout& layout, cv::Size outSize,
                           cv::Range rows, cv::Mat& mapX, cv::Mat& mapY,
                           std::vector<Reprojector::Blend>* blends) {
  // The picture's size is the caller's, so the geometry's own is not worked out to any limit.
  const LayoutGeometry geometry = layoutGeometry(frameSize, layout, 1 << 30);
  mapX.create(rows.size(), outSize.width, CV_32FC1);
  mapY.create(rows.size(), outSize.width, CV_32FC1);
  // Longitude 0 is the middle column; each column's sine and cosine serve every row.
  std::vector<double> sinLon(outSize.width), cosLon(outSize.width);
  for (int i = 0; i < outSize.width; ++i) {
    const double lon = ((2.0 * i + 1.0) / outSize.width - 1.0) * CV_PI;
    sinLon[i] = std::sin(lon);
    cosLon[i] = std::cos(lon);
  }
  for (int j = rows.start; j < rows.end; ++j) {
    // Latitude grows downwards, as the picture's rows do.
    const double lat = ((2.0 * j + 1.0) / outSize.height - 1.0) * CV_PI / 2.0;
    const double sinLat = std::sin(lat), cosLat = std::cos(lat);
    float* xs = mapX.ptr<float>(j - rows.start);
    float* ys = mapY.ptr<float>(j - rows.start);
    for (int i = 0; i < outSize.width; ++i) {
      const Vec d = geometry.rotation * Vec(cosLat * sinLon[i], sinLat, cosLat * cosLon[i]);
      const FramePlace p = framePlace(geometry, d);
      xs[i] = p.seen ? static_cast<float>(p.u) : -1.0f;
      ys[i] = p.seen ? static_cast<float>(p.v) : -1.0f;
      if (p.blend > 0.0 && blends != nullptr) {
        const double u = std::min(p.u + p.shift, p.within.x + p.within.width - 1.0);
        blends->push_back(
            {i, j, static_cast<float>(u), static_cast<float>(p.v), static_cast<float>(p.blend)});
      }
    }
  }
}

namespace {

// The second places of `blends` weighed into the picture's rows from `firstRow` on, each read
// between its four nearest frame pixels, as the remap reads.
template <typename T>
void blendIn(const cv::Mat& eye, cv::Mat& picture, const std::vector<Reprojector::Blend>& blends,
             int firstRow) {
  const int channels = eye.channels();
  for (const Reprojector::Blend& b : blends) {
    const int x0 = static_cast<int>(b.u), y0 = static_cast<int>(b.v);
    if (x0 < 0 || y0 < 0 || x0 >= eye.cols || y0 >= eye.rows) continue;
    const int x1 = std::min(x0 + 1, eye.cols - 1), y1 = std::min(y0 + 1, eye.rows - 1);
    const float fx = b.u - x0, fy = b.v - y0;
    const T* top = eye.ptr<T>(y0);
    const T* bottom = eye.ptr<T>(y1);
    T* out = picture.ptr<T>(b.y - firstRow) + b.x * channels;
    for (int c = 0; c < channels; ++c) {
      const float upper = top[x0 * channels + c] * (1 - fx) + top[x1 * channels + c] * fx;
      const float lower = bottom[x0 * channels + c] * (1 - fx) + bottom[x1 * channels + c] * fx;
      const float second = upper * (1 - fy) + lower * fy;
      out[c] = cv::saturate_cast<T>(out[c] * (1 - b.weight) + second * b.weight);
    }
  }
}

void applyBlends(const cv::Mat& eye, cv::Mat& picture,
                 const std::vector<Reprojector::Blend>& blends, int firstRow) {
  if (eye.depth() == CV_8U) {
    blendIn<unsigned char>(eye, picture, blends, firstRow);
  } else if (eye.depth() == CV_16U) {
    blendIn<unsigned short>(eye, picture, blends, firstRow);
  }
}

// The layout that `frame` is shown in: the reprojector's, or the frame as it is where a cube's
// faces would be under a pixel. The layout hint is said once per source.
const Layout& shownLayout(Reprojector& reprojector, const cv::Mat& frame) {
  static const Layout kAsItIs;
  const Layout& layout = reprojector.layout;
  if (!facesFit(eyeRect(frame.size(), layout.stereo).size(), layout.projection)) {
    // Faces of less than a pixel hold nothing to show.
    if (!reprojector.saidHint) {
      reprojector.saidHint = true;
      std::fprintf(stderr,
                   "lumivane: frames of %dx%d are too small for a cube's six faces; shown as "
                   "they are\n",
                   frame.cols, frame.rows);
    }
    return kAsItIs;
  }
  hintOnce(reprojector, frame);
  return layout;
}

}  // namespace

LayoutGeometry frameGeometry(Reprojector& reprojector, const cv::Mat& frame) {
  return layoutGeometry(frame.size(), shownLayout(reprojector, frame), textureSideLimit());
}

const cv::Mat& reproject(Reprojector& reprojector, const cv::Mat& frame) {
  const Layout& layout = shownLayout(reprojector, frame);
  if (!needsReprojection(layout)) return frame;
  const int maxSide = textureSideLimit();
  // The eye is a view into the frame, not a copy.
  const cv::Mat eye = frame(eyeRect(frame.size(), layout.stereo));
  // A whole equirectangular picture runs on across its seam. Anything else, a full-width band
  // included, has directions the frame does not hold, marked -1 in the maps: those take the
  // border's colour, as BORDER_WRAP would not let them.
  const bool wraps = layout.projection == Projection::equirect && !cropped(layout);
  reprojector.borderMode = wraps ? cv::BORDER_WRAP : cv::BORDER_CONSTANT;
  reprojector.border = cropped(layout) ? kBeyondCrop : cv::Scalar::all(0);
  if (!reprojector.keepMaps) {
    // One picture: each strip's tables are made, used and dropped, so that a large photo sphere
    // never holds whole tables (6 bytes a pixel of the picture) beside the picture itself.
    const cv::Size size = reprojectedSize(frame.size(), layout, maxSide);
    reprojector.map1.release();
    reprojector.map2.release();
    reprojector.builtFor = cv::Size();
    reprojector.picture.create(size, frame.type());
    cv::Mat mapX, mapY, map1, map2;
    std::vector<Reprojector::Blend> blends;
    for (int row = 0; row < size.height; row += kStripRows) {
      const cv::Range rows(row, std::min(size.height, row + kStripRows));
      blends.clear();
      buildReprojectionMaps(frame.size(), layout, size, rows, mapX, mapY, &blends);
      cv::convertMaps(mapX, mapY, map1, map2, CV_16SC2);
      cv::Mat strip = reprojector.picture.rowRange(rows);
      cv::remap(eye, strip, map1, map2, cv::INTER_LINEAR, reprojector.borderMode,
                reprojector.border);
      // remap must have written into the strip, not a fresh image.
      CV_Assert(strip.data == reprojector.picture.ptr(row));
      applyBlends(eye, strip, blends, row);
    }
    return reprojector.picture;
  }
  if (reprojector.builtFor != frame.size() || reprojector.builtMaxSide != maxSide) {
    const cv::Size size = reprojectedSize(frame.size(), layout, maxSide);
    reprojector.map1.create(size, CV_16SC2);
    reprojector.map2.create(size, CV_16UC1);
    // Fixed-point maps remap about twice as fast as floating-point ones. They are made in strips,
    // so that the floating-point ones never take more than a strip's memory (a whole 16384 by
    // 8192 pair would take 1 GB).
    cv::Mat mapX, mapY;
    reprojector.blends.clear();
    for (int row = 0; row < size.height; row += kStripRows) {
      const cv::Range rows(row, std::min(size.height, row + kStripRows));
      buildReprojectionMaps(frame.size(), layout, size, rows, mapX, mapY, &reprojector.blends);
      cv::Mat map1 = reprojector.map1.rowRange(rows), map2 = reprojector.map2.rowRange(rows);
      cv::convertMaps(mapX, mapY, map1, map2, CV_16SC2);
      // convertMaps must have written into the strip, not a fresh image.
      CV_Assert(map1.data == reprojector.map1.ptr(row) && map2.data == reprojector.map2.ptr(row));
    }
    reprojector.builtFor = frame.size();
    reprojector.builtMaxSide = maxSide;
  }
  cv::remap(eye, reprojector.picture, reprojector.map1, reprojector.map2, cv::INTER_LINEAR,
            reprojector.borderMode, reprojector.border);
  applyBlends(eye, reprojector.picture, reprojector.blends, 0);
  return reprojector.picture;
}

bool looksDualFisheye(const cv::Mat& frame) {
  if (frame.empty() || frame.depth() != CV_8U || frame.cols < 16 || frame.rows < 8) return false;
  // Each circle inscribed in its half, as dual-fisheye frames are laid out.
  const double radius = std::min(frame.cols / 4.0, frame.rows / 2.0);
  const double centreY = frame.rows / 2.0;
  int outside = 0, lit = 0, inside = 0, brightInside = 0;
  // A coarse grid is plenty: outside the circles must be dark all round, inside not all dark.
  for (int gy = 0; gy < 32; ++gy) {
    for (int gx = 0; gx < 64; ++gx) {
      const double x = (gx + 0.5) * frame.cols / 64.0, y = (gy + 0.5) * frame.rows / 32.0;
      const double centreX = (x < frame.cols / 2.0 ? 1.0 : 3.0) * frame.cols / 4.0;
      const double r = std::hypot(x - centreX, y - centreY) / radius;
      const cv::Mat pixel = frame(cv::Rect(static_cast<int>(x), static_cast<int>(y), 1, 1));
      double brightest = 0.0;
      cv::minMaxLoc(pixel.reshape(1), nullptr, &brightest);
      if (r > 1.05) {
        ++outside;
        if (brightest > 24.0) ++lit;
      } else if (r < 0.9) {
        ++inside;
        if (brightest > 24.0) ++brightInside;
      }
    }
  }
  return outside > 0 && lit * 50 <= outside && brightInside * 2 >= inside;
}
