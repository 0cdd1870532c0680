// Frame upload and the idle handler under a real GL: sizes, colour order, row order, row
// padding, pacing, the test card and a failed grab.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <thread>

#include "app/app.h"
#include "support/camera_files.h"
#include "support/harness.h"

namespace {

// Opens `choice` as the viewer's source and lets the idle handler make one upload.
// Opens `choice` and uploads until its first picture is up: GStreamer opens in the background.
SourceChoice pipelineChoice(const std::string& text) {
  SourceChoice choice;
  choice.kind = SourceKind::pipeline;
  choice.location = text;
  return choice;
}

void openAndUpload(const SourceChoice& choice) {
  openSource(viewer.capture, choice, fakeNow);
  viewer.lastUploadTick = fakeNow;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do {
    if (viewer.capture.state == SourceState::connecting) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fakeNow += kUploadIntervalMs;
    onIdle();
  } while (viewer.capture.state == SourceState::connecting &&
           std::chrono::steady_clock::now() < end);
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
            "lumivane: cannot open camera 63: no such camera; showing the test card, retrying "
            "every 2 s\n");
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

// A panorama with smooth detail everywhere (a wrong sign or a flipped face shows at once, a
// half-pixel difference in sampling does not), blue-green-red.
cv::Mat smoothPanorama() {
  cv::Mat pano(512, 1024, CV_8UC3);
  for (int y = 0; y < pano.rows; ++y) {
    for (int x = 0; x < pano.cols; ++x) {
      const double wave = std::sin(x * CV_PI / 128.0) * std::sin(y * CV_PI / 64.0);
      pano.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x / 4), static_cast<uchar>(y / 2),
                                           static_cast<uchar>(127 + 120 * wave));
    }
  }
  return pano;
}

// The share of pixels of the texture (red-green-blue) within 12 a channel of `expected`
// (blue-green-red, brought to the texture's size), leaving out the columns `seamsAt` names.
double shareMatching(const cv::Mat& texture, const cv::Mat& expected, std::vector<int> seamsAt) {
  cv::Mat rgb;
  cv::resize(expected, rgb, texture.size(), 0, 0, cv::INTER_AREA);
  cv::cvtColor(rgb, rgb, cv::COLOR_BGR2RGB);
  int compared = 0, close = 0;
  for (int y = 4; y < texture.rows - 4; ++y) {
    for (int x = 0; x < texture.cols; ++x) {
      const int column = x * 1024 / texture.cols;
      if (std::any_of(seamsAt.begin(), seamsAt.end(),
                      [column](int seam) { return std::abs(column - seam) < 16; })) {
        continue;
      }
      ++compared;
      const cv::Vec3b a = texture.at<cv::Vec3b>(y, x), b = rgb.at<cv::Vec3b>(y, x);
      if (cv::norm(cv::Vec3i(a) - cv::Vec3i(b), cv::NORM_INF) <= 12) ++close;
    }
  }
  return compared == 0 ? 0.0 : static_cast<double>(close) / compared;
}

std::string runFfmpeg(const std::string& in, const std::string& filter, const std::string& out) {
  const std::string command =
      "ffmpeg -loglevel error -y -i " + in + " -vf " + filter + " -frames:v 1 " + out;
  return std::system(command.c_str()) == 0 ? out : "ffmpeg failed: " + command;
}

// An independent reference: FFmpeg's v360 filter makes each layout from a panorama; shown, each
// must match the panorama, and a turn must match what v360 makes of the same turn.
TEST_F(Upload, EveryLayoutShowsAsItsEquirectangularOriginal) {
  const std::string dir = scratchDir("layouts");
  const cv::Mat pano = smoothPanorama();
  const std::string panoFile = dir + "/pano.png";
  ASSERT_TRUE(cv::imwrite(panoFile, pano));
  // Stereo pairs: the eye shown first, the other a negative.
  cv::Mat pair;
  cv::vconcat(pano, cv::Scalar::all(255) - pano, pair);
  ASSERT_TRUE(cv::imwrite(dir + "/tb.png", pair));
  cv::hconcat(pano, cv::Scalar::all(255) - pano, pair);
  ASSERT_TRUE(cv::imwrite(dir + "/lr.png", pair));
  const std::string turn = "v360=e:e:yaw=30:pitch=20:roll=10";
  const struct {
    std::string name, frame, original;  // frame: a file, or a v360 filter of the panorama
    std::optional<Projection> projection;
    std::optional<Stereo> stereo;
    double yaw, pitch, roll;
    std::vector<int> seams;  // columns of the original where lenses meet
  } cases[] = {
      {"dfisheye",
       "v360=e:dfisheye:h_fov=190:v_fov=190",
       "",
       Projection::dualFisheye,
       {},
       0,
       0,
       0,
       {256, 768}},
      {"eac", "v360=e:eac:w=1536:h=1024", "", Projection::eac, {}, 0, 0, 0, {}},
      {"c3x2", "v360=e:c3x2:w=1536:h=1024", "", Projection::cubemap, {}, 0, 0, 0, {}},
      {"top-bottom", dir + "/tb.png", "", {}, Stereo::topBottom, 0, 0, 0, {}},
      {"left-right", dir + "/lr.png", "", {}, Stereo::leftRight, 0, 0, 0, {}},
      {"turned", panoFile, turn, {}, {}, 30, 20, 10, {}},
      {"yaw", panoFile, "v360=e:e:yaw=-75", {}, {}, -75, 0, 0, {}},
      {"pitch", panoFile, "v360=e:e:pitch=40", {}, {}, 0, 40, 0, {}},
      {"roll", panoFile, "v360=e:e:roll=180", {}, {}, 0, 0, 180, {}},
      {"cubemap turned",
       "v360=e:c3x2:w=1536:h=1024",
       turn,
       Projection::cubemap,
       {},
       30,
       20,
       10,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string frame =
        c.frame.rfind("v360", 0) == 0 ? runFfmpeg(panoFile, c.frame, dir + "/frame.png") : c.frame;
    cv::Mat original = pano;
    if (!c.original.empty()) {
      original = cv::imread(runFfmpeg(panoFile, c.original, dir + "/original.png"));
    }
    ASSERT_FALSE(original.empty());
    SourceChoice choice;
    choice.kind = SourceKind::videoFile;
    choice.location = frame;
    choice.layout.projection = c.projection;
    choice.layout.stereo = c.stereo;
    choice.layout.yawDeg = c.yaw;
    choice.layout.pitchDeg = c.pitch;
    choice.layout.rollDeg = c.roll;
    fakeNow = 0;
    ::testing::internal::CaptureStderr();
    openAndUpload(choice);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    const cv::Mat texture = readTexture(viewer.texture);
    EXPECT_EQ(texture.cols, 2 * texture.rows);
    EXPECT_GE(texture.rows, 512);
    EXPECT_GT(shareMatching(texture, original, c.seams), 0.97);
    releaseSource(viewer.capture);
  }
}

// The files 360 cameras write open by their name alone and show the panorama they were made
// from: GoPro's band blended away, Insta360's lenses joined in step, a pair's partner found
// from either file. What cannot be joined is said in one line, and the one lens is shown.
TEST_F(Upload, CameraFilesShowTheirPanoramaByTheirNameAlone) {
  const std::string dir = scratchDir("camera-files");
  const std::string pano = dir + "/pano.png";
  ASSERT_TRUE(cv::imwrite(pano, smoothPanorama()));
  const auto made = [&](const std::string& name, InsvForm form) {
    return makeInsta360(pano, scratchDir("camera-files/" + name), form, 3, 960);
  };
  const std::string lone = made("lone", InsvForm::pair).at(1);
  std::remove(made("lone", InsvForm::pair).at(0).c_str());
  const auto ffmpeg = [&](const std::string& in, const std::string& how, const std::string& out) {
    EXPECT_EQ(std::system(("ffmpeg -v error -y -i " + in + " " + how + " " + out).c_str()), 0);
    return out;
  };
  const std::string two = made("two", InsvForm::twoTracks).at(0);
  // Two tracks in a plain MP4 (remuxed, without the trailer), and lenses of two sizes.
  const std::string other = ffmpeg(two, "-map 0 -c copy", dir + "/other.mp4");
  const std::string differ =
      ffmpeg(two, "-map 0 -c:v:0 copy -c:v:1 libx264 -filter:v:1 scale=480:480 -f mp4",
             dir + "/differ.insv");
  // A trailer whose size runs past the file's start.
  const std::string damaged = made("damaged", InsvForm::sideBySide).at(0);
  {
    std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(-40, std::ios::end);
    file.write("\xff\xff\xff\xff", 4);
  }
  enum Part { whole, front, back, asItIs };
  const struct {
    std::string name, file, line;
    Part shown;  // what must match the panorama; the back where only the back lens is shown
  } cases[] = {
      {"gopro", makeGoProMax(pano, scratchDir("camera-files/gopro"), 3), "", whole},
      {"gopro without sound", makeGoProMax(pano, scratchDir("camera-files/mute"), 3, false), "",
       whole},
      {"one track", made("one", InsvForm::sideBySide).at(0), "", whole},
      {"two tracks", two, "", whole},
      {"pair, from the right lens", made("pair", InsvForm::pair).at(1), "", whole},
      {"no partner", lone,
       "holds one lens, and its partner " + dir +
           "/lone/VID_20260101_120000_00_001.insv is not there or is not a video it can read; "
           "showing the one lens",
       front},
      {"lenses that differ", differ,
       "has lenses of different sizes or rates (960x960 at 30 fps and 480x480 at 30 fps); showing "
       "the first",
       back},
      {"damaged trailer", damaged, "ends in a damaged Insta360 trailer; it is not read", whole},
      {"two tracks of no camera", other,
       "has two picture tracks (960x960 at 30 fps and 960x960 at 30 fps) and no known camera's "
       "layout; showing the first",
       asItIs},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SourceChoice choice;
    choice.kind = SourceKind::videoFile;
    choice.location = c.file;
    ::testing::internal::CaptureStderr();
    openAndUpload(choice);
    const std::string said = ::testing::internal::GetCapturedStderr();
    // Its first line: a frame shown as it is may get the layout hint after it.
    EXPECT_EQ(said.substr(0, said.find('\n') + 1),
              c.line.empty() ? "" : "lumivane: file " + c.file + " " + c.line + "\n");
    cv::Mat texture = readTexture(viewer.texture), original = smoothPanorama();
    if (c.shown == asItIs) {
      EXPECT_EQ(texture.size(), cv::Size(960, 960));  // the first track
    } else {
      for (cv::Mat* picture : {&texture, &original}) {
        const int w = picture->cols;
        // The back brought to the middle, then the middle half alone.
        if (c.shown == back) {
          cv::Mat turned;
          cv::hconcat(picture->colRange(w / 2, w), picture->colRange(0, w / 2), turned);
          *picture = turned;
        }
        if (c.shown != whole) *picture = picture->colRange(w / 4, w * 3 / 4).clone();
      }
      EXPECT_GT(shareMatching(texture, original, {256, 768}), 0.97);
    }
    releaseSource(viewer.capture);
  }
}

// Lenses of less than 180 degrees leave a band that no lens saw: it is black, and never a
// sample of the other lens.
TEST_F(Upload, NarrowFisheyeLensesLeaveWhatTheyDidNotSeeBlack) {
  cv::Mat frame = solidFrame(1920, 960, kRed);
  frame.colRange(960, 1920).setTo(cv::Scalar(255, 0, 0));  // the right lens, the front, blue
  const std::string path = scratchDir("narrow") + "/lenses.png";
  ASSERT_TRUE(cv::imwrite(path, frame));
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = path;
  choice.layout.projection = Projection::dualFisheye;
  choice.layout.fisheyeFovDeg = 150.0;
  openAndUpload(choice);
  const cv::Mat texture = readTexture(viewer.texture);
  ASSERT_EQ(texture.size(), cv::Size(1920, 960));
  int redInFront = 0;
  for (int y = 0; y < 960; ++y) {
    for (int x = 480; x < 1440; ++x)
      redInFront += sameColour(texture.at<cv::Vec3b>(y, x), kRed, 60);
  }
  EXPECT_EQ(redInFront, 0);
  EXPECT_TRUE(probeColour(texture, 960, 480, kBlue));
  EXPECT_TRUE(probeColour(texture, 10, 480, kRed));
  // 90 degrees off both lenses' axes, on the equator and at the poles.
  EXPECT_TRUE(probeColour(texture, 480, 480, kBlack));
  EXPECT_TRUE(probeColour(texture, 1440, 480, kBlack));
  EXPECT_TRUE(probeColour(texture, 960, 0, kBlack));
}

// A frame too small to hold a cube's faces gets one line and is shown as it is, not as a
// mostly black sphere.
TEST_F(Upload, FramesTooSmallForCubeFacesAreShownAsTheyAre) {
  const std::string path = scratchDir("tiny") + "/dot.png";
  ASSERT_TRUE(cv::imwrite(path, solidFrame(1, 1, kYellow)));
  for (const Projection projection : {Projection::eac, Projection::cubemap}) {
    SourceChoice choice;
    choice.kind = SourceKind::videoFile;
    choice.location = path;
    choice.layout.projection = projection;
    ::testing::internal::CaptureStderr();
    openAndUpload(choice);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "lumivane: frames of 1x1 are too small for a cube's six faces; shown as they are\n");
    const cv::Mat texture = readTexture(viewer.texture);
    ASSERT_EQ(texture.size(), cv::Size(1, 1));
    EXPECT_TRUE(probeColour(texture, 0, 0, kYellow));
    releaseSource(viewer.capture);
  }
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
    ::testing::internal::CaptureStderr();
    openAndUpload(pipelineChoice(c.pipeline));
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

// Each layout a decoder hands over is turned into the upload's picture in one step, as FFmpeg
// turns the same bytes into red-green-blue (BT.601, limited range).
TEST_F(Upload, DecodedLayoutsComeOutAsFfmpegConvertsThem) {
  const std::string dir = scratchDir("layouts");
  cv::Mat smooth(64, 128, CV_8UC3);
  for (int y = 0; y < smooth.rows; ++y) {
    for (int x = 0; x < smooth.cols; ++x) {
      smooth.at<cv::Vec3b>(y, x) =
          cv::Vec3b(static_cast<uchar>(40 + x), static_cast<uchar>(220 - 3 * y), 128);
    }
  }
  ASSERT_TRUE(cv::imwrite(dir + "/smooth.png", smooth));
  const struct {
    const char *gstreamer, *ffmpeg;
  } layouts[] = {
      {"i420", "yuv420p"}, {"nv12", "nv12"},    {"nv21", "nv21"},    {"y42b", "yuv422p"},
      {"y444", "yuv444p"}, {"yuy2", "yuyv422"}, {"uyvy", "uyvy422"}, {"i420-10le", "yuv420p10le"}};
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.gstreamer);
    const std::string raw = dir + "/" + layout.ffmpeg + ".raw";
    const std::string ffmpeg = "ffmpeg -loglevel error -y ";
    ASSERT_EQ(std::system((ffmpeg + "-i " + dir + "/smooth.png -pix_fmt " + layout.ffmpeg +
                           " -f rawvideo " + raw)
                              .c_str()),
              0);
    ASSERT_EQ(std::system((ffmpeg + "-f rawvideo -pix_fmt " + layout.ffmpeg + " -s 128x64 -i " +
                           raw + " -pix_fmt rgb24 -f rawvideo " + raw + ".rgb")
                              .c_str()),
              0);
    std::ifstream in(raw + ".rgb", std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 128u * 64u * 3u);
    const cv::Mat reference(64, 128, CV_8UC3, const_cast<char*>(bytes.data()));
    ::testing::internal::CaptureStderr();
    openAndUpload(pipelineChoice("filesrc location=" + raw +
                                 " ! rawvideoparse width=128 height=64 framerate=1/1 format=" +
                                 layout.gstreamer + " colorimetry=bt601 ! imagefreeze ! appsink"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(viewer.capture.pictureOrder, ChannelOrder::rgb) << "converted by us, once";
    const cv::Mat texture = readTexture(viewer.texture);
    ASSERT_EQ(texture.size(), reference.size());
    // GStreamer's converter, which this is, works to 8 bits and comes within 6 levels of the
    // exact matrix, where FFmpeg's accurate rounding is within 1; a wrong matrix is 24 off, a
    // swapped plane or a skewed row far more.
    cv::Mat difference;
    cv::absdiff(texture, reference, difference);
    double worst = 0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &worst);
    EXPECT_LE(worst, 8.0);
    const cv::Scalar mean = cv::mean(difference);
    EXPECT_LE(std::max({mean[0], mean[1], mean[2]}), 4.5) << mean;
    releaseSource(viewer.capture);
  }
}

// Files that say their layout are shown right with no option: spherical video V1 (XMP written
// by exiftool), V2 (the boxes FFmpeg writes from it) and Matroska's projection, all top-bottom
// stereo pairs; and a photo sphere's GPano XMP placing a cropped picture on the full sphere.
// Metadata that contradicts itself gets one line and counts as absent.
TEST_F(Upload, FilesThatSayTheirLayoutNeedNoOption) {
  const std::string dir = scratchDir("metadata");
  const cv::Mat pano = smoothPanorama();
  cv::Mat pair;
  cv::vconcat(pano, cv::Scalar::all(255) - pano, pair);
  ASSERT_TRUE(cv::imwrite(dir + "/pair.png", pair));
  const std::string v1 = dir + "/v1.mp4", v2 = dir + "/v2.mp4", mkv = dir + "/v.mkv";
  const std::string make =
      "ffmpeg -loglevel error -y -loop 1 -i " + dir + "/pair.png -frames:v 3 -c:v libx264 " +
      // FFmpeg converts with BT.601's matrix; the file says so, as players otherwise guess.
      "-qp 8 -pix_fmt yuv444p -colorspace smpte170m -color_primaries smpte170m "
      "-color_trc smpte170m " +
      v1 +
      " && exiftool -q -overwrite_original -XMP-GSpherical:Spherical#=true"
      " -XMP-GSpherical:Stitched#=true -XMP-GSpherical:StitchingSoftware=test"
      " -XMP-GSpherical:ProjectionType=equirectangular -XMP-GSpherical:StereoMode=top-bottom " +
      v1 + " && ffmpeg -loglevel error -y -i " + v1 + " -c copy -strict unofficial " + v2 +
      " && ffmpeg -loglevel error -y -i " + v1 + " -c copy " + mkv;
  ASSERT_EQ(std::system(make.c_str()), 0) << make;

  // A band of the panorama, 180 by 90 degrees, as a phone keeps it.
  const cv::Rect band(256, 128, 512, 256);
  const std::string sphere = dir + "/sphere.jpg", wrong = dir + "/wrong.jpg";
  ASSERT_TRUE(cv::imwrite(sphere, pano(band), {cv::IMWRITE_JPEG_QUALITY, 98}));
  ASSERT_TRUE(cv::imwrite(wrong, pano(band), {cv::IMWRITE_JPEG_QUALITY, 98}));
  const std::string tag =
      "exiftool -q -overwrite_original -XMP-GPano:ProjectionType=equirectangular"
      " -XMP-GPano:FullPanoWidthPixels=2048 -XMP-GPano:FullPanoHeightPixels=1024"
      " -XMP-GPano:CroppedAreaImageWidthPixels=1024 -XMP-GPano:CroppedAreaImageHeightPixels=512"
      " -XMP-GPano:CroppedAreaTopPixels=256 ";
  const std::string gpano = tag + "-XMP-GPano:CroppedAreaLeftPixels=512 " + sphere + " && " + tag +
                            "-XMP-GPano:CroppedAreaLeftPixels=1536 " + wrong;
  ASSERT_EQ(std::system(gpano.c_str()), 0) << gpano;
  // A full-width band: its seam runs on, and its caps are grey, never its edge rows smeared.
  const cv::Rect fullBand(0, 128, 1024, 256);
  const std::string wide = dir + "/wide.jpg";
  ASSERT_TRUE(cv::imwrite(wide, pano(fullBand), {cv::IMWRITE_JPEG_QUALITY, 98}));
  const std::string wideTag =
      "exiftool -q -overwrite_original -XMP-GPano:ProjectionType=equirectangular"
      " -XMP-GPano:FullPanoWidthPixels=1024 -XMP-GPano:FullPanoHeightPixels=512"
      " -XMP-GPano:CroppedAreaImageWidthPixels=1024 -XMP-GPano:CroppedAreaImageHeightPixels=256"
      " -XMP-GPano:CroppedAreaTopPixels=128 -XMP-GPano:CroppedAreaLeftPixels=0 " +
      wide;
  ASSERT_EQ(std::system(wideTag.c_str()), 0) << wideTag;
  cv::Mat wideOriginal(pano.size(), CV_8UC3, cv::Scalar::all(48));
  pano(fullBand).copyTo(wideOriginal(fullBand));
  // The V2 file with a pose: 30 degrees of yaw (16.16 fixed point, big-endian) in its 'prhd' box.
  // A projection turned counter-clockwise about the up axis shows, straight ahead, what lay to
  // its right: as v360's yaw=30.
  std::ifstream in(v2, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t pose = bytes.find("prhd");
  ASSERT_NE(pose, std::string::npos);
  bytes.replace(pose + 8, 4, std::string("\0\x1e\0\0", 4));
  const std::string posed = dir + "/posed.mp4";
  std::ofstream(posed, std::ios::binary) << bytes;
  ASSERT_TRUE(cv::imwrite(dir + "/pano.png", pano));
  const cv::Mat turned =
      cv::imread(runFfmpeg(dir + "/pano.png", "v360=e:e:yaw=30", dir + "/t.png"));
  cv::Mat placed(pano.size(), CV_8UC3, cv::Scalar::all(48));
  pano(band).copyTo(placed(band));

  const struct {
    std::string file;
    cv::Mat original;
    std::optional<Stereo> stereo;
    const char* says;
  } cases[] = {
      {v1, pano, {}, ""},
      {v2, pano, {}, ""},
      {mkv, pano, {}, ""},
      {posed, turned, {}, ""},
      {v1, pair, Stereo::mono, ""},  // an option wins over the file
      {sphere, placed, {}, ""},
      {wide, wideOriginal, {}, ""},
      {wrong,
       pano(band),
       {},
       "has GPano cropped-area numbers that do not fit its full panorama; "
       "shown as if it had no layout metadata\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    SourceChoice choice;
    choice.kind = SourceKind::videoFile;
    choice.location = c.file;
    choice.layout.stereo = c.stereo;
    fakeNow = 0;
    ::testing::internal::CaptureStderr();
    openAndUpload(choice);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, *c.says ? "lumivane: file " + c.file + " " + c.says : "") << err;
    const cv::Mat texture = readTexture(viewer.texture);
    EXPECT_EQ(texture.size(), c.original.size());
    EXPECT_GT(shareMatching(texture, c.original, {}), 0.97);
    // A picture is remapped once: it keeps no remap tables (6 bytes a pixel) beyond that.
    if (c.file.find(".jpg") != std::string::npos) {
      EXPECT_TRUE(viewer.capture.reprojector.map1.empty() &&
                  viewer.capture.reprojector.map2.empty());
    }
    if (c.file == wide) {
      const auto rgbOf = [](cv::Vec3b bgr) { return Rgb{bgr[2], bgr[1], bgr[0]}; };
      // The columns either side of the seam are the band's own, not blended with the border.
      for (int y = 140; y < 372; y += 8) {
        EXPECT_TRUE(probeColour(texture, 0, y, rgbOf(pano.at<cv::Vec3b>(y, 0)), 12)) << y;
        EXPECT_TRUE(probeColour(texture, 1023, y, rgbOf(pano.at<cv::Vec3b>(y, 1023)), 12)) << y;
      }
    }
    releaseSource(viewer.capture);
  }

  // A cubemap with padding between its faces is not the plain 3x2 one: one line, and the frame
  // shown as it is.
  std::string padded = bytes;
  const size_t equi = padded.find("equi");
  ASSERT_NE(equi, std::string::npos);
  padded.replace(equi, 16, std::string("cbmp\0\0\0\0\0\0\0\0\0\0\0\4", 16));
  const std::string cube = dir + "/padded.mp4";
  std::ofstream(cube, std::ios::binary) << padded;
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = cube;
  choice.layout.stereo = Stereo::mono;
  ::testing::internal::CaptureStderr();
  openAndUpload(choice);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "lumivane: file " + cube +
                " has a spherical projection this viewer does not know; shown as if it had no "
                "layout metadata\n");
  EXPECT_EQ(readTexture(viewer.texture).size(), pair.size());
  releaseSource(viewer.capture);
}

// A pipeline that comes to its end keeps its last picture, is said once to have ended, and is
// not opened again: no lost-and-found lines, no flicker. One that ends before its first frame
// leaves the card up, not an empty sphere.
TEST_F(Upload, PipelineThatEndsIsSaidOnceAndKeepsItsPicture) {
  const struct {
    const char* location;
    const char* says;
    bool card;
  } cases[] = {
      {"videotestsrc pattern=red num-buffers=10 ! video/x-raw,width=64,height=32",
       "' has ended; its last picture stays\n", false},
      {"videotestsrc num-buffers=0 ! video/x-raw,width=64,height=32",
       "' has ended without delivering a frame\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.location);
    ::testing::internal::CaptureStderr();
    openAndUpload(pipelineChoice(c.location));
    for (int i = 0; i < 150; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      fakeNow += 60;
      onIdle();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              std::string("lumivane: pipeline '") + c.location + c.says);
    EXPECT_EQ(viewer.capture.state, SourceState::ended);
    if (c.card) {
      EXPECT_EQ(textureSize(), cv::Size(1024, 512)) << "the test card";
    } else {
      EXPECT_TRUE(probeColour(readTexture(viewer.texture), 32, 16, kRed, 4));
    }
  }
}
