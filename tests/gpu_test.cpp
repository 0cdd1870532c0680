// --gpu against the default path: the same source read both ways, each layout and frame format,
// drawn from outside, inside, zoomed and turned, read back and compared pixel by pixel. The two
// paths are each other's reference; neither shares the other's arithmetic on the GL side.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "app/app.h"
#include "render/render.h"
#include "support/camera_files.h"
#include "support/harness.h"

namespace {

// A picture with a wave across, a ramp down and a slanted wave: every part of it differs from
// every other, and it has no edges, not even at its seam, where sampling between texels would
// differ by design.
cv::Mat smoothPicture(cv::Size size) {
  cv::Mat picture(size, CV_8UC3);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const double u = (x + 0.5) / size.width, v = (y + 0.5) / size.height;
      picture.at<cv::Vec3b>(y, x) =
          cv::Vec3b(cv::saturate_cast<uchar>(128 + 60 * std::sin(2 * CV_PI * (u + v))),
                    cv::saturate_cast<uchar>(30 + 200 * v),
                    cv::saturate_cast<uchar>(130 + 100 * std::cos(2 * CV_PI * u)));
    }
  }
  return picture;
}

struct View {
  const char* name;
  bool inside;
  float zoom, spin;
  Quaternion orientation;
};

const View kViews[] = {
    {"outside", false, 1.0f, 0.0f, kIdentityQuaternion},
    {"inside", true, 1.0f, 0.0f, kIdentityQuaternion},
    // Zoomed in far enough that the near plane cuts the globe, and turned.
    {"zoomed and turned", false, 2.6f, 37.0f, {0.9, 0.3, 0.3, 0.1}},
    {"inside, turned", true, 0.9f, 200.0f, {0.8, -0.2, 0.5, 0.26}},
};

// Waits on the real clock for what the source shows first.
Shown firstShown(FrameSource& source) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    const Shown shown = nextShown(source, realMs());
    if (shown.picture != nullptr || shown.planes != nullptr) return shown;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Shown();
}

// Opens `choice` as the viewer would with or without --gpu and draws each view of its first
// frame; an empty list when no frame came.
std::vector<cv::Mat> drawnViews(const SourceChoice& choice, const Layout* layout, bool gpu,
                                bool* planar) {
  FrameSource& source = viewer.capture;
  releaseSource(source);
  source = FrameSource();
  source.wantsPlanes = gpu;
  viewer.gpu.on = gpu;
  openSource(source, choice, realMs());
  if (layout != nullptr) source.reprojector.layout = *layout;
  const Shown shown = firstShown(source);
  *planar = shown.planes != nullptr;
  std::vector<cv::Mat> views;
  if (shown.planes != nullptr) {
    const Planes& p = *shown.planes;
    if (!uploadPlanes(viewer.gpu, p, frameLook(p, shown.geometry))) {
      return views;
    }
  } else if (shown.picture != nullptr) {
    uploadFrame(*shown.picture, viewer.texture, source.pictureOrder);
    viewer.gpu.showingPlanes = false;
  } else {
    return views;
  }
  for (const View& view : kViews) {
    viewer.insideView = view.inside;
    viewer.zoom = view.zoom;
    viewer.spinAngle = view.spin;
    viewer.dragOrientation = view.orientation;
    buildRotationMatrix();
    drawScene();
    views.push_back(readBackBuffer());
    // Drawn again, the view standing still: from each pixel's place in the frame as kept.
    if (shown.planes != nullptr) {
      drawScene();
      views.push_back(readBackBuffer());
      EXPECT_EQ(viewer.gpu.keptReady, viewer.gpu.keeping && shown.geometry.band == 0) << view.name;
    }
  }
  releaseSource(source);
  viewer.gpu.on = false;
  return views;
}

class Gpu : public GlTest {
 protected:
  void SetUp() override {
    GlTest::SetUp();
    if (viewer.gpu.textures[0] == 0) {
      ASSERT_TRUE(startGpuDrawing(viewer.gpu));
    }
    viewer.gpu.on = false;
    // A GL told that it lacks two-channel textures must be drawn through LUMINANCE_ALPHA.
    const char* override = std::getenv("MESA_EXTENSION_OVERRIDE");
    EXPECT_EQ(viewer.gpu.luminance,
              override != nullptr && std::strstr(override, "-GL_ARB_texture_rg") != nullptr);
    EXPECT_TRUE(viewer.gpu.keeping || std::getenv("MESA_GL_VERSION_OVERRIDE") != nullptr);
  }
};

TEST_F(Gpu, EveryLayoutAndFormatDrawsTheDefaultPathsPicture) {
  const std::string dir = scratchDir("gpu-both-ways");
  const struct Frames {
    const char* name;
    cv::Size size;
  } frames[] = {
      {"equirect", {256, 128}}, {"pair", {512, 256}}, {"cube", {384, 256}}, {"gopro", {568, 368}}};
  for (const Frames& f : frames) {
    cv::Mat picture = smoothPicture(f.size);
    if (std::string(f.name) == "gopro") {
      // The band's second copies white: a path that does not blend them shows it.
      picture.colRange(96, 120).setTo(cv::Scalar::all(255));
      picture.colRange(472, 496).setTo(cv::Scalar::all(255));
    }
    ASSERT_TRUE(cv::imwrite(dir + "/" + f.name + ".png", picture));
  }
  // A picture as a stream of frames in one layout of GStreamer's, or as one JPEG of an AVI.
  const auto pipeline = [&](const char* frame, const std::string& caps) {
    SourceChoice c;
    c.kind = SourceKind::pipeline;
    c.location = "filesrc location=" + dir + "/" + frame +
                 ".png ! pngdec ! imagefreeze ! videoconvert ! videoscale ! video/x-raw," + caps;
    return c;
  };
  const auto mjpeg = [&](const char* frame, const char* sampling) {
    SourceChoice c;
    c.kind = SourceKind::videoFile;
    c.location = dir + "/" + frame + "-" + sampling + ".avi";
    const std::string command = std::string("ffmpeg -v error -y -i ") + dir + "/" + frame +
                                ".png -c:v mjpeg -q:v 2 -pix_fmt " + sampling + " -frames:v 1 " +
                                c.location;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return c;
  };
  const auto layout = [](Projection projection, Stereo stereo = Stereo::mono) {
    Layout l;
    l.projection = projection;
    l.stereo = stereo;
    l.described = true;
    return l;
  };
  Layout turned = layout(Projection::equirect);
  turned.yawDeg = 30, turned.pitchDeg = 20, turned.rollDeg = 10;
  turned.poseYawDeg = -15;
  Layout band = layout(Projection::equirect);
  band.cropTop = 0.2, band.cropBottom = 0.1, band.cropLeft = 0.25, band.cropRight = 0.0;
  Layout narrow = layout(Projection::dualFisheye);
  narrow.fisheyeFovDeg = 160;
  Layout gopro = layout(Projection::goproMax);
  gopro.bandShare = 12.0 / 568;  // side tiles of 192, the copies 24 apart
  gopro.yawDeg = 90;             // a side tile in front
  // A camera's files, in the layout they say by themselves.
  const auto recording = [&](const std::string& file) {
    SourceChoice c;
    c.kind = SourceKind::videoFile;
    c.location = file;
    return c;
  };
  const std::string pano = dir + "/equirect.png";
  const struct {
    const char* name;
    SourceChoice source;
    std::optional<Layout> layout;  // none: the file's own
  } cases[] = {
      {"I420", pipeline("equirect", "format=I420"), layout(Projection::equirect)},
      {"NV12, BT.709", pipeline("equirect", "format=NV12,colorimetry=bt709"),
       layout(Projection::equirect)},
      {"NV21, BT.2020", pipeline("equirect", "format=NV21,colorimetry=bt2020"),
       layout(Projection::equirect)},
      {"YUY2, full range", pipeline("equirect", "format=YUY2,colorimetry=1:3:5:1"),
       layout(Projection::equirect)},
      {"UYVY", pipeline("equirect", "format=UYVY"), layout(Projection::equirect)},
      // Odd sizes: YUY2's last pixel a pair of its own, I420's last chroma sample half used.
      {"YUY2, odd width",
       pipeline("equirect", "width=255,height=127 ! videoconvert ! video/x-raw,format=YUY2"),
       layout(Projection::equirect)},
      {"I420, odd sizes",
       pipeline("equirect", "width=255,height=127 ! videoconvert ! video/x-raw,format=I420"),
       layout(Projection::equirect)},
      {"Y42B", pipeline("equirect", "format=Y42B"), layout(Projection::equirect)},
      {"YV12", pipeline("equirect", "format=YV12"), layout(Projection::equirect)},
      {"BGR", pipeline("equirect", "format=BGR"), layout(Projection::equirect)},
      {"RGBx", pipeline("equirect", "format=RGBx"), layout(Projection::equirect)},
      {"GRAY8", pipeline("equirect", "format=GRAY8"), layout(Projection::equirect)},
      {"MJPEG 4:2:2", mjpeg("equirect", "yuvj422p"), layout(Projection::equirect)},
      {"MJPEG 4:2:0", mjpeg("equirect", "yuvj420p"), layout(Projection::equirect)},
      {"turned", pipeline("equirect", "format=I420"), turned},
      {"band", pipeline("equirect", "format=I420"), band},
      {"dual fisheye", pipeline("pair", "format=I420"), layout(Projection::dualFisheye)},
      {"narrow fisheye, YUY2", pipeline("pair", "format=YUY2"), narrow},
      {"EAC, NV12", pipeline("cube", "format=NV12"), layout(Projection::eac)},
      {"GoPro MAX, I420", pipeline("gopro", "format=I420"), gopro},
      {"GoPro MAX .360", recording(makeGoProMax(pano, scratchDir("gpu-gopro"), 1)), {}},
      {"Insta360 pair",
       recording(makeInsta360(pano, scratchDir("gpu-pair"), InsvForm::pair, 1, 256).at(0)),
       {}},
      {"cubemap, MJPEG 4:2:2", mjpeg("cube", "yuvj422p"), layout(Projection::cubemap)},
      {"top-bottom", pipeline("pair", "format=I420"),
       layout(Projection::equirect, Stereo::topBottom)},
      {"left-right cubemap", pipeline("pair", "format=I420"),
       layout(Projection::cubemap, Stereo::leftRight)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool planar = true, gpuPlanar = false;
    const Layout* layout = c.layout ? &*c.layout : nullptr;
    const std::vector<cv::Mat> reference = drawnViews(c.source, layout, false, &planar);
    const std::vector<cv::Mat> drawn = drawnViews(c.source, layout, true, &gpuPlanar);
    EXPECT_FALSE(planar);
    EXPECT_TRUE(gpuPlanar) << "the frame was not handed over in its own layout";
    ASSERT_EQ(reference.size(), std::size(kViews));
    ASSERT_EQ(drawn.size(), 2 * std::size(kViews));
    for (std::size_t v = 0; v < drawn.size(); ++v) {
      SCOPED_TRACE(v % 2 == 0 ? "worked out" : "kept");
      cv::Mat difference;
      cv::absdiff(reference[v / 2], drawn[v], difference);
      cv::Mat worst;
      cv::reduce(difference.reshape(1, difference.total()), worst, 1, cv::REDUCE_MAX);
      const int off = cv::countNonZero(worst > 8);
      const double mean = cv::mean(difference)[0];
      // Pixels on the sphere's outline, and texels that one path takes from either side of a
      // boundary, may differ; nothing else. GStreamer's own conversion of limited-range YUV is a
      // few levels off (BT.601's (48, 128, 192) comes back as (46, 124, 187); the shader's gives
      // (47, 128, 189)), hence the mean.
      EXPECT_LE(off, 300) << kViews[v / 2].name << ": " << off << " pixels differ by more than 8";
      EXPECT_LT(mean, 4.0) << kViews[v / 2].name;
    }
  }
}

}  // namespace

namespace {

// A source of one frame in eight seconds, handed over as planes, is given three of its frame
// periods before it counts as stopped, as when its frames are converted.
TEST_F(Gpu, SlowSourceHandedOverAsPlanesKeepsItsPeriod) {
  FrameSource& source = viewer.capture;
  source.wantsPlanes = true;
  SourceChoice slow;
  slow.kind = SourceKind::pipeline;
  slow.location = "videotestsrc ! video/x-raw,format=I420,width=64,height=32,framerate=1/8";
  openSource(source, slow, realMs());
  ASSERT_NE(firstShown(source).planes, nullptr);
  EXPECT_EQ(source.reader->stallLimitMs(), 24000u);
}

}  // namespace
