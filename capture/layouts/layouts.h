// Layouts: how a frame holds the sphere (an equirectangular picture, two fisheye circles, a
// cubemap, one eye of a stereo pair, part of the sphere, a turned camera), what a file says of
// its own, and the one description of each layout's geometry that the remap tables on the
// processor and the shader on the graphics card both follow.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "capture/frame/frame.h"

// Each lens's field of view of a dual-fisheye camera when none is given, in degrees.
constexpr double kDefaultFisheyeFovDeg = 190.0;

// The layouts are those of FFmpeg's v360 filter: e, dfisheye, eac and c3x2 with its defaults;
// and GoPro MAX's two tracks stacked: an equi-angular cubemap without padding whose side tiles
// are wider than a face, for a band of columns that both lenses saw.
enum class Projection { equirect, dualFisheye, eac, cubemap, goproMax };
// Two eyes in one frame: only the first (top or left) is shown.
enum class Stereo { mono, topBottom, leftRight };

// What the command line says about the frames; a setting left out comes from the file, or is
// the default.
struct LayoutOptions {
  std::optional<Projection> projection;
  std::optional<double> fisheyeFovDeg;  // degrees across each lens
  std::optional<Stereo> stereo;
  std::optional<double> yawDeg, pitchDeg, rollDeg;  // the turn, as v360's yaw, pitch, roll
};

// How a source's frames become the equirectangular picture that the sphere takes.
struct Layout {
  Projection projection = Projection::equirect;
  double fisheyeFovDeg = kDefaultFisheyeFovDeg;
  Stereo stereo = Stereo::mono;
  // A picture of part of the sphere: the shares of the full panorama's width and height that lie
  // beyond its left, top, right and bottom edges (all 0 for a whole sphere).
  double cropLeft = 0.0, cropTop = 0.0, cropRight = 0.0, cropBottom = 0.0;
  // The camera's pose as a file states it (spherical video metadata: counter-clockwise turns
  // about the up, then the right, then the forward axis), degrees.
  double poseYawDeg = 0.0, posePitchDeg = 0.0, poseRollDeg = 0.0;
  // The turn asked for on the command line, on top of the pose: v360's yaw, pitch, roll, degrees.
  double yawDeg = 0.0, pitchDeg = 0.0, rollDeg = 0.0;
  // GoPro MAX: the blend width of the band in each side tile, as a share of the frame's width.
  double bandShare = 0.0;
  bool described = false;  // an option or the file says what the frames hold
};

// Where a layout puts the sphere in frames of one size: the numbers that the remap tables and
// the shader both follow, worked out once per frame size and layout. Directions are v360's: x
// to the right, y down, z straight ahead (the panorama's middle).
struct LayoutGeometry {
  Projection projection = Projection::equirect;
  cv::Size frame;         // the whole frame, pixels
  cv::Size eye;           // the part shown, at the frame's top left: the first eye, or all
  cv::Size picture;       // the equirectangular picture the frames make (the frame itself
                          // when they need no remap)
  bool remapped = false;  // the frames need unwrapping, cropping or turning
  bool wraps = false;     // a whole equirectangular frame: rows run on across the seam
  cv::Matx33d rotation;   // a shown direction to the frame's own
  cv::Scalar border;      // blue-green-red, where the frame holds nothing
  // Equirectangular: the whole panorama's size in frame pixels, and the frame's place in it.
  double fullWidth = 0, fullHeight = 0, cropLeftPx = 0, cropTopPx = 0;
  bool cropped = false, wholeRow = true;
  // Dual fisheye: the circles' centres and radius (pixels) and half the lens's view (radians).
  double leftCentreX = 0, rightCentreX = 0, centreY = 0, radius = 0, halfFov = 0;
  // Cubemaps: a face's width and height, and the padding around an equi-angular one (pixels);
  // the width of the tiles beside the middle column, and the blend width of the band they hold
  // (GoPro MAX: a face's columns are those left of the tile's middle, then those 2 * band
  // further on, the two copies blended across the 2 * band before the middle).
  double faceWidth = 0, faceHeight = 0, pad = 0, sideWidth = 0, band = 0;
};

// The geometry of frames of `frameSize` in `layout`, the picture within `maxSide` a side.
LayoutGeometry layoutGeometry(cv::Size frameSize, const Layout& layout, int maxSide);

// Where direction `d` of the shown picture lies in the frame (pixel centres at whole numbers),
// and the rectangle of the lens, face or eye it lies in; `seen` false where the frame holds
// nothing for it.
struct FramePlace {
  double u = 0, v = 0;
  bool seen = false;
  cv::Rect2d within;  // pixels: the part of the frame that this place was taken from
  // Where two copies of a column meet (GoPro MAX's band): the colour at u + shift, on the same
  // row, weighs `blend` against the colour at u.
  double shift = 0, blend = 0;
};
FramePlace framePlace(const LayoutGeometry& geometry, const cv::Vec3d& d);

// Turns frames into the equirectangular picture: remap tables built once per frame size and
// layout, one cv::remap per shown frame.
struct Reprojector {
  Layout layout;         // what the frames hold: the options over what the file says
  cv::Size builtFor;     // the frame size the maps are for; empty before the first frame
  int builtMaxSide = 0;  // the texture limit they were built under, pixels
  cv::Mat map1, map2;    // fixed-point maps (CV_16SC2 and its fractions)
  int borderMode = 0;    // cv::BORDER_WRAP for a whole equirectangular row, else constant
  cv::Scalar border;     // what lies outside the frame: black, or dark grey beyond a crop
  cv::Mat picture;       // the last picture made
  // Picture pixels that blend a second place in the frame with the remap's own (GoPro's band):
  // made with the tables, applied after each remap.
  struct Blend {
    int x, y;            // in the picture
    float u, v, weight;  // the second place in the frame's eye, and its weight
  };
  std::vector<Blend> blends;
  bool saidHint = false;  // the layout hint has been given for this source
  // False for a source of one picture: it is remapped in strips, and no whole tables are kept.
  bool keepMaps = true;
};

// The options over the file's layout, setting by setting. A turn comes on top of the file's pose.
Layout mergeLayout(const LayoutOptions& options, const Layout& file);

// True when frames of `layout` need the remap: anything but a whole equirectangular picture
// shown as it is.
bool needsReprojection(const Layout& layout);

// The equirectangular picture made from frames of `frameSize`: as detailed as the layout
// (faces of N pixels make 4N by 2N), within `maxSide` a side and kMaxPicturePixels.
cv::Size reprojectedSize(cv::Size frameSize, const Layout& layout, int maxSide);

// Fills `mapX` and `mapY` (CV_32FC1, for cv::remap) for `rows` of a picture of `outSize`: each
// pixel's place in a frame of `frameSize`, or -1 where the frame holds nothing for it.
// Each pixel that also takes a second place in the frame is added to `blends`, when given.
void buildReprojectionMaps(cv::Size frameSize, const Layout& layout, cv::Size outSize,
                           cv::Range rows, cv::Mat& mapX, cv::Mat& mapY,
                           std::vector<Reprojector::Blend>* blends = nullptr);

// The geometry of `frame` as it is shown: a frame too small for a cube's faces is shown as it is
// (said once); the layout hint is said once per source, as for reproject.
LayoutGeometry frameGeometry(Reprojector& reprojector, const cv::Mat& frame);

// The equirectangular picture of `frame`: the frame itself when it needs no remap (no copy),
// else the reprojector's picture. Frames that no option or metadata explains, and that do not
// look equirectangular, get one hint on stderr per source.
const cv::Mat& reproject(Reprojector& reprojector, const cv::Mat& frame);

// True for a frame that is plainly two fisheye circles side by side: black outside them.
bool looksDualFisheye(const cv::Mat& frame);
