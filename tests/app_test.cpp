// The command line and the zoom step.
#include "app/app.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "support/harness.h"

namespace {

Arguments parse(std::vector<const char*> args) {
  args.insert(args.begin(), "lumivane");
  return parseArguments(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(Arguments, CameraIndexRule) {
  EXPECT_EQ(parse({}).source.cameraIndex, 0);
  EXPECT_EQ(parse({}).source.kind, SourceKind::camera);
  EXPECT_TRUE(parse({}).warnings.empty());

  EXPECT_EQ(parse({"1"}).source.cameraIndex, 1);
  EXPECT_EQ(parse({"-3"}).source.cameraIndex, -3) << "negative indexes pass unchanged";
  EXPECT_TRUE(parse({"1"}).warnings.empty());

  const Arguments letters = parse({"abc"});
  EXPECT_EQ(letters.source.kind, SourceKind::camera);
  EXPECT_EQ(letters.source.cameraIndex, 0);
  ASSERT_EQ(letters.warnings.size(), 1u);
  EXPECT_NE(letters.warnings[0].find("'abc'"), std::string::npos) << letters.warnings[0];

  const Arguments two = parse({"1", "2"});
  EXPECT_EQ(two.source.kind, SourceKind::camera);
  EXPECT_EQ(two.source.cameraIndex, 0) << "an index is read only from a single argument";
  EXPECT_EQ(two.warnings.size(), 1u);
}

TEST(Arguments, TextIsReadAsAtoiReadsIt) {
  for (const char* bad :
       {"", "99999999999999999999", "2147483648", "+", "-", "abc", "pano", "pano."}) {
    const Arguments a = parse({bad});
    EXPECT_EQ(a.command, Command::run) << bad;
    EXPECT_EQ(a.source.kind, SourceKind::camera) << bad;
    EXPECT_EQ(a.source.cameraIndex, 0) << bad;
    EXPECT_EQ(a.warnings.size(), 1u) << bad;
  }
  EXPECT_EQ(parse({"2147483647"}).source.cameraIndex, 2147483647);
  const Arguments trailing = parse({"12abc"});
  EXPECT_EQ(trailing.source.cameraIndex, 12);
  ASSERT_EQ(trailing.warnings.size(), 1u);
  EXPECT_EQ(trailing.warnings[0], "ignoring 'abc' after camera number 12");
  EXPECT_EQ(parse({" 1"}).source.cameraIndex, 1);
  EXPECT_TRUE(parse({" 1"}).warnings.empty());
}

TEST(Arguments, PipelinesAndTheirAppsink) {
  const Arguments p = parse({"v4l2src device=/dev/video0 ! image/jpeg ! jpegdec"});
  EXPECT_EQ(p.source.kind, SourceKind::pipeline);
  EXPECT_EQ(completePipeline(p.source.location),
            "v4l2src device=/dev/video0 ! image/jpeg ! jpegdec ! videoconvert ! appsink "
            "name=lumivane_sink");
  EXPECT_EQ(completePipeline("videotestsrc ! appsink  "), "videotestsrc ! appsink");
  EXPECT_EQ(completePipeline("videotestsrc ! appsink emit-signals=false"),
            "videotestsrc ! appsink emit-signals=false");
  EXPECT_EQ(completePipeline("videotestsrc ! appsinkish"),
            "videotestsrc ! appsinkish ! videoconvert ! appsink name=lumivane_sink");
  EXPECT_NE(parse({"a!b"}).source.kind, SourceKind::pipeline) << "the mark is ' ! '";
}

TEST(Arguments, LayoutOptionsBeforeTheSource) {
  EXPECT_FALSE(parse({}).source.layout.projection.has_value());
  const Arguments plain = parse({"--dual-fisheye", "3"});
  EXPECT_EQ(plain.source.layout.projection, Projection::dualFisheye);
  EXPECT_EQ(plain.source.layout.fisheyeFovDeg, 190.0);
  EXPECT_EQ(plain.source.cameraIndex, 3);
  EXPECT_TRUE(plain.warnings.empty());
  EXPECT_EQ(parse({"--dual-fisheye=200.5"}).source.layout.fisheyeFovDeg, 200.5);
  const Arguments all = parse({"--projection=eac", "--stereo=left-right", "--yaw=-12.5",
                               "--pitch=90", "--roll=1e1", "clip"});
  EXPECT_TRUE(all.warnings.size() == 1 && all.warnings[0].find("clip") != std::string::npos);
  EXPECT_EQ(all.source.layout.projection, Projection::eac);
  EXPECT_EQ(all.source.layout.stereo, Stereo::leftRight);
  EXPECT_EQ(all.source.layout.yawDeg, -12.5);
  EXPECT_EQ(all.source.layout.pitchDeg, 90.0);
  EXPECT_EQ(all.source.layout.rollDeg, 10.0);
  // Whole turns are taken off, so that a huge angle is still a finite turn.
  EXPECT_EQ(parse({"--yaw=-450"}).source.layout.yawDeg, -90.0);
  const double huge = parse({"--roll=1e308"}).source.layout.rollDeg.value_or(NAN);
  EXPECT_TRUE(std::isfinite(huge) && std::fabs(huge) < 360.0) << huge;
  EXPECT_EQ(parse({"--projection=cubemap"}).source.layout.projection, Projection::cubemap);
  EXPECT_EQ(parse({"--stereo=top-bottom"}).source.layout.stereo, Stereo::topBottom);

  // Each bad value: one line naming the option and what it takes, and the option left out.
  const struct {
    const char* option;
    const char* says;
  } bad[] = {
      {"--dual-fisheye=", "150 to 270 degrees; using 190"},
      {"--dual-fisheye=wide", "150 to 270 degrees; using 190"},
      {"--dual-fisheye=149", "150 to 270 degrees; using 190"},
      {"--dual-fisheye=271", "150 to 270 degrees; using 190"},
      {"--dual-fisheye=nan", "150 to 270 degrees; using 190"},
      {"--dual-fisheye=0xC0", "150 to 270 degrees; using 190"},
      {"--projection=fisheye",
       "--projection=fisheye: takes equirect, dual-fisheye, eac or "
       "cubemap; not used"},
      {"--projection", "--projection: takes equirect"},
      {"--stereo=sbs", "--stereo=sbs: takes mono, top-bottom or left-right; not used"},
      {"--yaw=left", "--yaw=left: takes a number of degrees"},
      {"--pitch=inf", "--pitch=inf: takes a number of degrees"},
      {"--roll=nan", "--roll=nan: takes a number of degrees"},
      {"--roll=", "--roll=: takes a number of degrees"},
      {"--yaw=5deg", "--yaw=5deg: takes a number of degrees"},
      {"--pitch=0x10", "--pitch=0x10: takes a number of degrees"},
  };
  for (const auto& c : bad) {
    const Arguments a = parse({c.option});
    ASSERT_EQ(a.warnings.size(), 1u) << c.option;
    EXPECT_NE(a.warnings[0].find(c.says), std::string::npos) << a.warnings[0];
    const LayoutOptions& layout = a.source.layout;
    if (std::string(c.option).rfind("--dual-fisheye", 0) == 0) {
      EXPECT_EQ(layout.fisheyeFovDeg, 190.0) << c.option;
    } else {
      EXPECT_FALSE(layout.projection || layout.stereo || layout.yawDeg || layout.pitchDeg ||
                   layout.rollDeg)
          << c.option;
    }
  }
  EXPECT_EQ(parse({"--wobble", "2"}).warnings.size(), 1u);
  EXPECT_EQ(parse({"--wobble", "2"}).source.cameraIndex, 2);
}

TEST(Arguments, FilesAndStreams) {
  const std::string dir = scratchDir("args");
  const std::string file = dir + "/clip.avi";
  std::ofstream(file) << "x";
  const Arguments f = parse({file.c_str()});
  EXPECT_EQ(f.source.kind, SourceKind::videoFile);
  EXPECT_EQ(f.source.location, file);
  EXPECT_TRUE(f.warnings.empty());

  const Arguments url = parse({"rtsp://127.0.0.1:8554/live"});
  EXPECT_EQ(url.source.kind, SourceKind::stream);
  EXPECT_EQ(url.source.location, "rtsp://127.0.0.1:8554/live");
  EXPECT_EQ(parse({"http://example.invalid/v.mjpg"}).source.kind, SourceKind::stream);
  for (const char* notUrl : {"://x", "1http://x", "http://", "ht tp://x", "http:/x"}) {
    EXPECT_NE(parse({notUrl}).source.kind, SourceKind::stream) << notUrl;
  }
}

// Text meant as a file is never read as a camera; options may follow the source until "--".
TEST(Arguments, NamedFilesOptionsAndTheirEnd) {
  const std::string dir = scratchDir("named");
  const std::string bang = dir + "/a ! b.png";
  std::ofstream(bang) << "x";
  const std::string missing = dir + "/gone.png";
  const struct {
    std::vector<const char*> args;
    SourceKind kind;
    std::string location;  // or, for a camera, its number
    std::string warning;   // what the one line must contain; empty for no line
  } cases[] = {
      {{bang.c_str()}, SourceKind::videoFile, bang, ""},
      {{"--", bang.c_str()}, SourceKind::videoFile, bang, ""},
      {{"--"}, SourceKind::camera, "0", ""},
      {{bang.c_str(), "--dual-fisheye"}, SourceKind::videoFile, bang, ""},
      {{"--", "--dual-fisheye"}, SourceKind::camera, "0", "'--dual-fisheye' is not a camera"},
      {{"pano.jgp"}, SourceKind::videoFile, "pano.jgp", "'pano.jgp': no such file"},
      {{missing.c_str()}, SourceKind::videoFile, missing, "': no such file"},
      {{dir.c_str()}, SourceKind::videoFile, dir, "': a folder, not a picture or video"},
      {{"x", bang.c_str(), "y"}, SourceKind::videoFile, bang, "got 3; ignoring 'x', 'y'"},
      {{"3", "pano.jgp"}, SourceKind::videoFile, "pano.jgp", "ignoring '3'; 'pano.jgp': no such"},
      {{"12.5"}, SourceKind::camera, "12", "ignoring '.5' after camera number 12"},
      {{"2", "--low-cpu"}, SourceKind::camera, "2", ""},
      {{"x\ty", "a\x1b.png"}, SourceKind::videoFile, "a\x1b.png", "'x\\ty'; 'a\\x1b.png': no"},
      {{"/dev/video3"}, SourceKind::camera, "/dev/video3", ""},
      {{"/dev/v4l/by-id/usb-x-video-index0"},
       SourceKind::camera,
       "/dev/v4l/by-id/usb-x-video-index0",
       ""},
      {{"--camera-size=1920x960", "--camera-fps=29.97", "--camera-format=mjpeg"},
       SourceKind::camera,
       "0",
       ""},
      {{"--camera-size=1920", "--camera-fps=0", "--camera-format=x-y"},
       SourceKind::camera,
       "0",
       "1920: takes WIDTHxHEIGHT in pixels, such as 3840x1920; not used; --camera-fps=0: takes"},
      {{bang.c_str(), "--camera-fps=30"}, SourceKind::videoFile, bang, "apply to cameras only"},
  };
  for (const auto& c : cases) {
    const Arguments a = parse(c.args);
    const std::string trace = c.args.empty() ? "" : c.args.back();
    EXPECT_EQ(a.source.kind, c.kind) << trace;
    EXPECT_EQ(a.source.kind == SourceKind::camera && a.source.location.empty()
                  ? std::to_string(a.source.cameraIndex)
                  : a.source.location,
              c.location)
        << trace;
    std::string said;
    for (const std::string& w : a.warnings) said += w + "; ";
    EXPECT_EQ(said.empty(), c.warning.empty()) << trace << ": " << said;
    EXPECT_NE(said.find(c.warning), std::string::npos) << said;
  }
  EXPECT_EQ(parse({bang.c_str(), "--dual-fisheye"}).source.layout.fisheyeFovDeg, 190.0);
  EXPECT_TRUE(parse({"2", "--low-cpu"}).lowCpu);
  EXPECT_FALSE(parse({"--", "--low-cpu"}).lowCpu);
  EXPECT_EQ(parse({"--", "--help"}).command, Command::run);
  const CameraRequest asked =
      parse({"--camera-size=1920x960", "--camera-fps=29.97", "--camera-format=mjpeg"})
          .source.camera;
  EXPECT_EQ(asked.size, cv::Size(1920, 960));
  EXPECT_EQ(asked.fps, 29.97);
  EXPECT_EQ(asked.fourcc, fourccFromName("MJPG"));
  EXPECT_FALSE(parse({bang.c_str(), "--camera-fps=30"}).source.camera.fps);
}

TEST(Arguments, HelpAndVersionWinWherever) {
  EXPECT_EQ(parse({"--help"}).command, Command::help);
  EXPECT_EQ(parse({"-h"}).command, Command::help);
  EXPECT_EQ(parse({"2", "--version"}).command, Command::version);
  EXPECT_EQ(parse({"--list-cameras", "1"}).command, Command::listCameras);
  EXPECT_EQ(parse({"-help"}).command, Command::run);
}

TEST(Zoom, TenStepsEachWayRoundThroughFloat) {
  float zoom = 1.0f;
  for (int i = 0; i < 10; ++i) zoom = stepZoom(zoom, 1);
  EXPECT_EQ(zoom, std::nextafter(2.0f, 3.0f)) << "2.0000002, one float ulp above 2";

  zoom = 1.0f;
  for (int i = 0; i < 10; ++i) zoom = stepZoom(zoom, -1);
  EXPECT_NE(zoom, 0.0f);
  EXPECT_NEAR(zoom, -7.3e-8, 0.1e-8);
  zoom = stepZoom(zoom, -1);
  EXPECT_NEAR(zoom, -0.10000008, 1e-8) << "no clamping at zero";
}
