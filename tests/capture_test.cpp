// Frame sources and pacing, without a window: generated videos and pictures, a missing camera,
// a source that is lost and comes back.
#include "capture/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <thread>

#include "support/harness.h"

namespace {

// Eight colours far apart, so MJPEG's losses cannot turn one into another.
const std::vector<Rgb> kPalette = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},     {255, 255, 0},
                                   {255, 0, 255}, {0, 255, 255}, {255, 255, 255}, {128, 128, 128}};

// Index of the palette colour that a frame (blue-green-red) shows, or -1.
int frameNumber(const cv::Mat* frame) {
  if (frame == nullptr || frame->empty()) return -1;
  const cv::Vec3b bgr = frame->at<cv::Vec3b>(frame->rows / 2, frame->cols / 2);
  for (size_t i = 0; i < kPalette.size(); ++i) {
    if (sameColour(cv::Vec3b(bgr[2], bgr[1], bgr[0]), kPalette[i], 40)) return static_cast<int>(i);
  }
  return -1;
}

SourceChoice fileChoice(const std::string& path) {
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = path;
  return choice;
}

TEST(Pacing, SixtyMillisecondsAcrossAWrap) {
  EXPECT_FALSE(uploadDue(1059, 1000));
  EXPECT_TRUE(uploadDue(1060, 1000));
  EXPECT_TRUE(uploadDue(5000, 1000));
  const std::uint32_t last = 0xFFFFFFF0u;  // 16 ms before the counter wraps
  EXPECT_FALSE(uploadDue(last + 59u, last));
  EXPECT_FALSE(uploadDue(0x2Bu, last)) << "59 ms, across the wrap";
  EXPECT_TRUE(uploadDue(0x2Cu, last)) << "60 ms, across the wrap";
}

TEST(VideoFile, PlaysAtItsOwnRateSkippingAndLooping) {
  // 8 frames at 10 fps: frame i is due from 100 i ms on.
  const std::string path = writeVideo(scratchDir("rate"), kPalette, 10.0);
  FrameSource source;
  const std::uint32_t t0 = 0xFFFFFF00u;  // the clock wraps during playback
  openSource(source, fileChoice(path), t0);
  ASSERT_EQ(source.state, SourceState::connecting);
  EXPECT_EQ(frameNumber(nextFrame(source, t0)), 0);
  EXPECT_EQ(nextFrame(source, t0 + 60), nullptr) << "frame 0 is still current";
  EXPECT_EQ(frameNumber(nextFrame(source, t0 + 120)), 1);
  EXPECT_EQ(frameNumber(nextFrame(source, t0 + 180)), -1) << "nothing new before 200 ms";
  EXPECT_EQ(frameNumber(nextFrame(source, t0 + 240)), 2);
  EXPECT_EQ(frameNumber(nextFrame(source, t0 + 530)), 5) << "frames 3 and 4 fall between";
  EXPECT_EQ(frameNumber(nextFrame(source, t0 + 790)), 7);
  EXPECT_EQ(frameNumber(nextFrame(source, t0 + 850)), 0) << "starts again at its end";
  EXPECT_EQ(frameNumber(nextFrame(source, t0 + 950)), 1);
  EXPECT_EQ(source.state, SourceState::live);
  EXPECT_EQ(source.state, SourceState::live);
}

TEST(VideoFile, Detailed3840By1920PlaysAtItsOwnRateInRealTime) {
  // 24 frames at 30 fps, looping; frame i shows kPalette[i % 8] in its middle.
  std::vector<Rgb> colours;
  for (int i = 0; i < 24; ++i) colours.push_back(kPalette[i % 8]);
  const std::string path = writeVideo(scratchDir("big"), colours, 30.0, 3840, 1920, true);
  FrameSource source;
  const auto start = std::chrono::steady_clock::now();
  const auto msNow = [&] {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
  };
  openSource(source, fileChoice(path), msNow());
  int shown = 0, offPace = 0;
  for (std::uint32_t due = 60; due <= 3000; due += 60) {
    while (msNow() < due) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::uint32_t now = msNow();
    const int number = frameNumber(nextFrame(source, now));
    if (number < 0) continue;
    ++shown;
    // The frame on the file's clock, give or take one.
    const int expected = static_cast<int>((now - source.playStartTick) * 30 / 1000 % 24 % 8);
    if (number != expected && number != (expected + 7) % 8) ++offPace;
  }
  EXPECT_GE(shown, 45) << "of 50 uploads, each due a new frame";
  EXPECT_LE(offPace, 2);
}

TEST(VideoFile, FrameBufferIsReusedAcrossGrabs) {
  const std::string path = writeVideo(scratchDir("reuse"), kPalette, 10.0);
  FrameSource source;
  openSource(source, fileChoice(path), 0);
  const cv::Mat* first = nextFrame(source, 0);
  ASSERT_NE(first, nullptr);
  const unsigned char* data = first->data;
  EXPECT_EQ(nextFrame(source, 100)->data, data) << "a grab allocated a fresh frame";
}

TEST(StillPicture, ShownOnceAndKeptLive) {
  const std::string path = scratchDir("still") + "/picture.png";
  ASSERT_TRUE(cv::imwrite(path, solidFrame(40, 20, kPalette[4])));
  FrameSource source;
  openSource(source, fileChoice(path), 0);
  EXPECT_EQ(source.choice.kind, SourceKind::stillImage);
  const cv::Mat* frame = nextFrame(source, 0);
  EXPECT_EQ(frameNumber(frame), 4);
  EXPECT_EQ(frame->cols, 40);
  EXPECT_EQ(nextFrame(source, 60), nullptr) << "the picture does not change";
  EXPECT_EQ(source.state, SourceState::live);
}

// Frames that neither an option nor the file explains get one hint: those far from 2:1, and 2:1
// ones that are plainly two fisheye circles.
TEST(StillPicture, UnexplainedLayoutsGetOneHint) {
  const std::string dir = scratchDir("shape");
  cv::Mat circles = solidFrame(1024, 512, kBlack);
  cv::circle(circles, {256, 256}, 255, cv::Scalar(0, 200, 0), cv::FILLED);
  cv::circle(circles, {768, 256}, 255, cv::Scalar(200, 0, 0), cv::FILLED);
  const std::string far =
      "lumivane: frames are 1280x720, not 2:1 equirectangular; for another layout try "
      "--projection=dual-fisheye|eac|cubemap or --stereo=top-bottom|left-right\n";
  const std::string lenses =
      "lumivane: frames of 1024x512 look like two fisheye circles side by side; try "
      "--projection=dual-fisheye\n";
  const struct {
    cv::Mat frame;
    std::optional<Projection> projection;
    std::optional<Stereo> stereo;
    std::string hint;
  } cases[] = {
      {solidFrame(1280, 720, kPalette[1]), {}, {}, far},
      {solidFrame(1000, 500, kPalette[1]), {}, {}, ""},
      {solidFrame(1280, 720, kPalette[1]), Projection::dualFisheye, {}, ""},
      {solidFrame(512, 512, kPalette[1]), {}, Stereo::topBottom, ""},
      {circles, {}, {}, lenses},
      {circles, Projection::dualFisheye, {}, ""},
  };
  for (const auto& c : cases) {
    const std::string path = dir + "/frame.png";
    ASSERT_TRUE(cv::imwrite(path, c.frame));
    SourceChoice choice = fileChoice(path);
    choice.layout.projection = c.projection;
    choice.layout.stereo = c.stereo;
    FrameSource source;
    ::testing::internal::CaptureStderr();
    openSource(source, choice, 0);
    ASSERT_NE(nextFrame(source, 0), nullptr);
    // Opened again later, as a retry does: still one line for the source.
    releaseSource(source);
    source.state = SourceState::missing;
    nextFrame(source, 5000);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(0, c.hint.size()), c.hint);
    const size_t advice = err.find("try --");
    EXPECT_EQ(advice != std::string::npos, !c.hint.empty()) << err;
    EXPECT_EQ(advice, err.rfind("try --")) << "said twice: " << err;
  }
}

TEST(MissingSource, ReportsOnceAndRetriesCheaplyEveryTwoSeconds) {
  SourceChoice choice;
  choice.cameraIndex = 63;  // no machine has this many cameras
  FrameSource source;
  ::testing::internal::CaptureStderr();
  openSource(source, choice, 1000);
  discardFrame(source);
  EXPECT_EQ(nextFrame(source, 1500), nullptr);
  EXPECT_EQ(source.lastAttemptTick, 1000u) << "retried before 2 s";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(nextFrame(source, 3000), nullptr);
  const auto cost = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(source.lastAttemptTick, 3000u) << "no retry at 2 s";
  EXPECT_EQ(nextFrame(source, 5000), nullptr);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "lumivane: cannot open camera 63; showing the test card, retrying every 2 s\n");
  EXPECT_LT(std::chrono::duration_cast<std::chrono::microseconds>(cost).count(), 10000)
      << "a retry for an absent camera must not stall the window";
}

TEST(MissingSource, FileThatIsNotAVideo) {
  const std::string path = scratchDir("text") + "/notes.txt";
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs("not a video\n", f);
  std::fclose(f);
  FrameSource source;
  ::testing::internal::CaptureStderr();
  openSource(source, fileChoice(path), 0);
  EXPECT_EQ(nextFrame(source, 0), nullptr);
  EXPECT_EQ(nextFrame(source, 2000), nullptr);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "lumivane: cannot open file " + path +
                     ": not a picture or video the viewer reads; showing the test card, retrying "
                     "every 2 s\n");
}

TEST(LostSource, SaysSoOnceKeepsTheLastPictureAndComesBack) {
  const std::string path = writeVideo(scratchDir("lost"), kPalette, 10.0);
  FrameSource source;
  openSource(source, fileChoice(path), 0);
  ASSERT_NE(nextFrame(source, 0), nullptr);
  ::testing::internal::CaptureStderr();
  // The file goes away under the open source, as a camera does when it is unplugged.
  const std::string away = path + ".away";
  ASSERT_EQ(std::rename(path.c_str(), away.c_str()), 0);
  source.video.release();
  EXPECT_EQ(nextFrame(source, 100), nullptr);
  EXPECT_EQ(source.state, SourceState::stale);
  EXPECT_NE(source.state, SourceState::live);
  EXPECT_EQ(nextFrame(source, 200), nullptr);
  ASSERT_EQ(std::rename(away.c_str(), path.c_str()), 0);
  EXPECT_EQ(nextFrame(source, 1000), nullptr) << "no retry before 2 s";
  EXPECT_EQ(frameNumber(nextFrame(source, 2100)), 0) << "the retry brings it back";
  EXPECT_EQ(source.state, SourceState::live);
  EXPECT_NE(source.state, SourceState::stale);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "lumivane: file " + path +
                     " stopped delivering frames; its last picture is shown dimmed, retrying "
                     "every 2 s\nlumivane: file " +
                     path + " is delivering frames\n");
}

TEST(Stream, ClosedLocalPortFailsFastWithOneLine) {
  SourceChoice choice;
  choice.kind = SourceKind::stream;
  choice.location = "http://127.0.0.1:9/none.mjpg";  // the discard port: nothing listens
  FrameSource source;
  ::testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  openSource(source, choice, 0);
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(source.state, SourceState::missing);
  EXPECT_EQ(err, "lumivane: cannot open stream " + choice.location +
                     "; showing the test card, retrying every 2 s\n");
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 3500);
}

}  // namespace
