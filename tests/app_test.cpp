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
  EXPECT_TRUE(parse({}).warning.empty());

  EXPECT_EQ(parse({"1"}).source.cameraIndex, 1);
  EXPECT_EQ(parse({"-3"}).source.cameraIndex, -3) << "negative indexes pass unchanged";
  EXPECT_TRUE(parse({"1"}).warning.empty());

  const Arguments letters = parse({"abc"});
  EXPECT_EQ(letters.source.kind, SourceKind::camera);
  EXPECT_EQ(letters.source.cameraIndex, 0);
  EXPECT_NE(letters.warning.find("'abc'"), std::string::npos) << letters.warning;

  const Arguments two = parse({"1", "2"});
  EXPECT_EQ(two.source.kind, SourceKind::camera);
  EXPECT_EQ(two.source.cameraIndex, 0) << "an index is read only from a single argument";
  EXPECT_FALSE(two.warning.empty());
}

TEST(Arguments, BadInputFallsBackToCameraZeroWithOneLine) {
  for (const char* bad :
       {"", "99999999999999999999", "2147483648", "12abc", " 1", "+", "-", "/", "/nonexistent"}) {
    const Arguments a = parse({bad});
    EXPECT_EQ(a.command, Command::run) << bad;
    EXPECT_EQ(a.source.kind, SourceKind::camera) << bad;
    EXPECT_EQ(a.source.cameraIndex, 0) << bad;
    EXPECT_FALSE(a.warning.empty()) << bad;
    EXPECT_EQ(a.warning.find('\n'), std::string::npos) << bad;
  }
  EXPECT_EQ(parse({"2147483647"}).source.cameraIndex, 2147483647);
}

TEST(Arguments, FilesAndStreams) {
  const std::string dir = scratchDir("args");
  const std::string file = dir + "/clip.avi";
  std::ofstream(file) << "x";
  const Arguments f = parse({file.c_str()});
  EXPECT_EQ(f.source.kind, SourceKind::videoFile);
  EXPECT_EQ(f.source.location, file);
  EXPECT_TRUE(f.warning.empty());

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
