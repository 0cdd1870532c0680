// Frame upload and the idle handler under a real GL: sizes, colour order, row order, row
// padding, pacing, the test card and a failed grab.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <chrono>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "app/app.h"
#include "support/harness.h"

namespace {

// Opens `choice` as the viewer's source and lets the idle handler make one upload.
void openAndUpload(const SourceChoice& choice) {
  openSource(viewer.capture, choice, fakeNow);
  viewer.lastUploadTick = fakeNow;
  fakeNow += kUploadIntervalMs;
  onIdle();
}

cv::Size textureSize() {
  GLint width = 0, height = 0;
  glBindTexture(GL_TEXTURE_2D, viewer.texture);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
  return cv::Size(width, height);
}

using Upload = GlTest;

TEST_F(Upload, TextureTakesEachFramesOwnSize) {
  ASSERT_TRUE(uploadFrame(solidFrame(640, 480, kGreen), viewer.texture));
  EXPECT_EQ(textureSize(), cv::Size(640, 480));
  ASSERT_TRUE(uploadFrame(solidFrame(320, 240, kGreen), viewer.texture));
  EXPECT_EQ(textureSize(), cv::Size(320, 240));
}

TEST_F(Upload, BlueStaysBlueAndTheFirstRowIsRowZero) {
  cv::Mat frame = solidFrame(64, 32, kBlue);
  frame.row(0).setTo(cv::Scalar(0, 0, 255));  // red, in blue-green-red order
  ASSERT_TRUE(uploadFrame(frame, viewer.texture));
  const cv::Mat texture = readTexture(viewer.texture);
  EXPECT_TRUE(probeColour(texture, 10, 0, kRed));
  EXPECT_TRUE(probeColour(texture, 10, 1, kBlue));
  EXPECT_TRUE(probeColour(texture, 63, 31, kBlue));
}

TEST_F(Upload, OddWidthKeepsVerticalLinesVertical) {
  // 641 * 3 bytes is not a multiple of 4: a layout that disagreed with the unpack alignment
  // would shear the line by a pixel every few rows.
  cv::Mat frame = solidFrame(641, 321, kBlack);
  cv::line(frame, {100, 0}, {100, 320}, cv::Scalar(255, 255, 255));
  ASSERT_TRUE(uploadFrame(frame, viewer.texture));
  const cv::Mat texture = readTexture(viewer.texture);
  ASSERT_EQ(texture.size(), cv::Size(641, 321));
  int bad = 0;
  for (int row = 0; row < 321; ++row) {
    if (!probeColour(texture, 100, row, {255, 255, 255}) || !probeColour(texture, 99, row, kBlack))
      ++bad;
  }
  EXPECT_EQ(bad, 0) << "rows where the line is not at column 100";
}

TEST_F(Upload, GreyAndAlphaFramesAreConvertedAndJunkIsRefused) {
  ASSERT_TRUE(uploadFrame(cv::Mat(8, 8, CV_8UC1, cv::Scalar(200)), viewer.texture));
  EXPECT_TRUE(probeColour(readTexture(viewer.texture), 3, 3, {200, 200, 200}));
  ASSERT_TRUE(uploadFrame(cv::Mat(8, 8, CV_8UC4, cv::Scalar(255, 0, 0, 0)), viewer.texture));
  EXPECT_TRUE(probeColour(readTexture(viewer.texture), 3, 3, kBlue));
  EXPECT_FALSE(uploadFrame(cv::Mat(), viewer.texture));
  EXPECT_FALSE(uploadFrame(cv::Mat(8, 8, CV_32FC3), viewer.texture));
  EXPECT_EQ(textureSize(), cv::Size(8, 8)) << "a refused frame leaves the texture alone";
}

TEST_F(Upload, IdleUploadsAtSixtyMillisecondsAcrossTheWrap) {
  const std::string path = scratchDir("pace") + "/p.png";
  ASSERT_TRUE(cv::imwrite(path, solidFrame(48, 24, kGreen)));
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = path;
  fakeNow = 0xFFFFFFE0u;  // 32 ms before the wrap
  openSource(viewer.capture, choice, fakeNow);
  viewer.lastUploadTick = fakeNow;
  fakeNow += 59;
  onIdle();
  EXPECT_EQ(viewer.lastUploadTick, 0xFFFFFFE0u) << "uploaded after 59 ms";
  EXPECT_NE(textureSize(), cv::Size(48, 24));
  fakeNow += 1;
  onIdle();
  EXPECT_EQ(viewer.lastUploadTick, fakeNow);
  EXPECT_EQ(textureSize(), cv::Size(48, 24));
  EXPECT_TRUE(probeColour(readTexture(viewer.texture), 5, 5, kGreen));
}

TEST_F(Upload, CardShowsWhileNoCameraAndRetriesDoNotStall) {
  SourceChoice choice;
  choice.cameraIndex = 63;
  fakeNow = 10000;
  ::testing::internal::CaptureStderr();
  openSource(viewer.capture, choice, fakeNow);
  viewer.lastUploadTick = fakeNow;
  fakeNow += 60;
  onIdle();
  EXPECT_TRUE(viewer.capture.cardShown);
  const cv::Mat card = readTexture(viewer.texture);
  EXPECT_EQ(card.size(), cv::Size(1024, 512));
  // The first rows carry the north cap's colour, the equator its yellow.
  const cv::Vec3b north = card.at<cv::Vec3b>(5, 300), equator = card.at<cv::Vec3b>(256, 300);
  EXPECT_GT(north[0], 150);
  EXPECT_LT(north[2], 100);
  EXPECT_GT(equator[0], 200);
  EXPECT_GT(equator[1], 150);

  // The idle calls keep redrawing at the upload pace; the one that retries stays cheap.
  long worstUs = 0;
  for (int i = 0; i < 40; ++i) {
    fakeNow += 60;
    const auto start = std::chrono::steady_clock::now();
    onIdle();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    worstUs = std::max<long>(worstUs, us);
  }
  EXPECT_GT(viewer.capture.lastAttemptTick, 10000u) << "never retried";
  EXPECT_LT(worstUs, 10000) << "an idle call with a retry took too long";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "lumivane: cannot open camera 63; showing the test card, retrying every 2 s\n");
}

// A reader that gives what it is told to, for what no real source does on cue.
class ScriptedReader final : public Reader {
 public:
  explicit ScriptedReader(ReadResult result) : result_(result) {}
  bool open() override { return true; }
  ReadResult read(std::uint32_t) override { return result_; }
  std::uint32_t stallLimitMs() const override { return 0; }

 private:
  ReadResult result_;
};

// A source that fails, comes back, fails again and comes back for good: its picture stays up
// meanwhile, its loss is said once, and its return only once it has held for kSteadyMs.
TEST_F(Upload, FlappingSourceKeepsItsPictureAndIsSaidOnceEachWay) {
  const std::string path = scratchDir("failed") + "/red.png";
  ASSERT_TRUE(cv::imwrite(path, solidFrame(64, 32, kRed)));
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = path;
  fakeNow = 0;
  openAndUpload(choice);
  const cv::Mat before = readTexture(viewer.texture);
  ASSERT_EQ(before.size(), cv::Size(64, 32));
  ::testing::internal::CaptureStderr();
  const auto idleFor = [](std::uint32_t ms) {
    for (std::uint32_t t = 0; t < ms; t += 60) {
      fakeNow += 60;
      onIdle();
    }
  };
  for (int flap = 0; flap < 2; ++flap) {
    viewer.capture.reader = std::make_unique<ScriptedReader>(ReadResult::failed);
    idleFor(60);
    EXPECT_EQ(viewer.capture.state, SourceState::stale);
    EXPECT_FALSE(viewer.capture.cardShown) << "the last picture stays, dimmed";
    const cv::Mat after = readTexture(viewer.texture);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(cv::norm(before, after, cv::NORM_INF), 0.0);
    idleFor(kRetryIntervalMs);  // the retry opens the picture again
    EXPECT_EQ(viewer.capture.state, SourceState::returning);
  }
  idleFor(kSteadyMs);
  EXPECT_EQ(viewer.capture.state, SourceState::live);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "lumivane: file " + path +
                " stopped delivering frames; its last picture is shown dimmed, retrying every "
                "2 s\nlumivane: file " +
                path + " is delivering frames\n");
}

}  // namespace

// An independent reference: FFmpeg's v360 filter wraps a panorama into two fisheye circles
// (190 degrees each); unwrapped again, it must match the panorama away from the lenses' seam.
TEST_F(Upload, DualFisheyeFromFfmpegMatchesTheOriginal) {
  const std::string dir = scratchDir("dfisheye");
  cv::Mat pano(512, 1024, CV_8UC3);
  for (int y = 0; y < pano.rows; ++y) {
    for (int x = 0; x < pano.cols; ++x) {
      pano.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x / 4), static_cast<uchar>(y / 2),
                                           static_cast<uchar>((x / 64 + y / 64) % 2 * 200));
    }
  }
  ASSERT_TRUE(cv::imwrite(dir + "/pano.png", pano));
  const std::string command = "ffmpeg -loglevel error -y -i " + dir +
                              "/pano.png -vf v360=input=e:output=dfisheye:h_fov=190:v_fov=190 " +
                              dir + "/df.png";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = dir + "/df.png";
  choice.dualFisheyeFov = 190.0;
  fakeNow = 0;
  openAndUpload(choice);
  const cv::Mat texture = readTexture(viewer.texture);
  ASSERT_EQ(texture.size(), pano.size());
  cv::Mat rgbPano;
  cv::cvtColor(pano, rgbPano, cv::COLOR_BGR2RGB);
  int compared = 0, close = 0;
  for (int y = 8; y < pano.rows - 8; ++y) {
    for (int x = 0; x < pano.cols; ++x) {
      // The lenses meet 90 degrees either side of the middle; the chequer's edges blur too.
      if (std::abs(x - 256) < 16 || std::abs(x - 768) < 16 || x % 64 < 2 || x % 64 > 61 ||
          y % 64 < 2 || y % 64 > 61) {
        continue;
      }
      ++compared;
      const cv::Vec3b a = texture.at<cv::Vec3b>(y, x), b = rgbPano.at<cv::Vec3b>(y, x);
      if (cv::norm(cv::Vec3i(a) - cv::Vec3i(b), cv::NORM_INF) <= 12) ++close;
    }
  }
  EXPECT_GT(close, compared * 97 / 100) << close << " of " << compared << " pixels match";
}

// GStreamer pipelines: what they hand over reaches the texture upright and in red-green-blue,
// whatever the pixel format, and one that cannot be built gets one line and the card.
TEST_F(Upload, PipelinesGiveTheirPictureUprightAndInRgb) {
  const std::string png = scratchDir("pipeline") + "/halves.png";
  cv::Mat halves = solidFrame(64, 32, kRed);
  halves.rowRange(16, 32).setTo(cv::Scalar(255, 0, 0));  // blue-green-red: blue
  ASSERT_TRUE(cv::imwrite(png, halves));
  const struct {
    std::string pipeline;
    Rgb top, bottom;
  } cases[] = {
      {"filesrc location=" + png + " ! pngdec ! imagefreeze", kRed, kBlue},
      {"filesrc location=" + png + " ! pngdec ! imagefreeze ! videoconvert ! appsink", kRed, kBlue},
      {"videotestsrc pattern=green ! video/x-raw,width=64,height=32", kGreen, kGreen},
      // 16-bit grey, which the upload does not take as it is (videotestsrc's black is video
      // black, 16 of 255).
      {"videotestsrc pattern=black ! video/x-raw,format=GRAY16_LE,width=64,height=32 ! appsink",
       {16, 16, 16},
       {16, 16, 16}},
      // The pipeline's own appsink keeps its caps, whatever layout they ask for.
      {"videotestsrc pattern=blue ! video/x-raw,format=I420,width=64,height=32 ! appsink", kBlue,
       kBlue},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pipeline);
    SourceChoice choice;
    choice.kind = SourceKind::pipeline;
    choice.location = c.pipeline;
    ::testing::internal::CaptureStderr();
    openAndUpload(choice);
    for (int i = 0; i < 100 && viewer.capture.state != SourceState::live; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      fakeNow += 60;
      onIdle();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(viewer.capture.state, SourceState::live);
    const cv::Mat texture = readTexture(viewer.texture);
    ASSERT_EQ(texture.size(), cv::Size(64, 32));
    EXPECT_TRUE(probeColour(texture, 32, 4, c.top, 4));
    EXPECT_TRUE(probeColour(texture, 32, 28, c.bottom, 4));
    releaseSource(viewer.capture);
  }

  SourceChoice broken;
  broken.kind = SourceKind::pipeline;
  broken.location = "nosuchelement ! appsink";
  ::testing::internal::CaptureStderr();
  openAndUpload(broken);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "lumivane: cannot open pipeline 'nosuchelement ! appsink': no element "
            "'nosuchelement'; showing the test card, retrying every 2 s\n");
  EXPECT_EQ(viewer.capture.state, SourceState::missing);
  EXPECT_TRUE(viewer.capture.cardShown);
}

// A pipeline that comes to its end keeps its last picture, is said once to have ended, and is
// not opened again: no lost-and-found lines, no flicker.
TEST_F(Upload, PipelineThatEndsIsSaidOnceAndKeepsItsPicture) {
  SourceChoice choice;
  choice.kind = SourceKind::pipeline;
  choice.location = "videotestsrc pattern=red num-buffers=10 ! video/x-raw,width=64,height=32";
  ::testing::internal::CaptureStderr();
  openAndUpload(choice);
  for (int i = 0; i < 150; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fakeNow += 60;
    onIdle();
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "lumivane: pipeline '" + choice.location + "' has ended; its last picture stays\n");
  EXPECT_EQ(viewer.capture.state, SourceState::ended);
  EXPECT_TRUE(probeColour(readTexture(viewer.texture), 32, 16, kRed, 4));
}
