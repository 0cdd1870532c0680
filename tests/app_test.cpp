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
       {"", "99999999999999999999", "2147483648", "+", "-", "/", "/nonexistent"}) {
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

TEST(Arguments, DualFisheyeOptionBeforeTheSource) {
  EXPECT_EQ(parse({}).source.dualFisheyeFov, 0.0);
  const Arguments plain = parse({"--dual-fisheye", "3"});
  EXPECT_EQ(plain.source.dualFisheyeFov, 190.0);
  EXPECT_EQ(plain.source.cameraIndex, 3);
  EXPECT_TRUE(plain.warnings.empty());
  EXPECT_EQ(parse({"--dual-fisheye=200.5"}).source.dualFisheyeFov, 200.5);
  for (const char* bad : {"--dual-fisheye=", "--dual-fisheye=wide", "--dual-fisheye=149",
                          "--dual-fisheye=271", "--dual-fisheye=nan"}) {
    const Arguments a = parse({bad});
    EXPECT_EQ(a.source.dualFisheyeFov, 190.0) << bad;
    ASSERT_EQ(a.warnings.size(), 1u) << bad;
    EXPECT_NE(a.warnings[0].find("150 to 270 degrees; using 190"), std::string::npos);
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

TEST(Arguments, HelpAndVersionWinWherever) {
  EXPECT_EQ(parse({"--help"}).command, Command::help);
  EXPECT_EQ(parse({"-h"}).command, Command::help);
  EXPECT_EQ(parse({"2", "--version"}).command, Command::version);
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
