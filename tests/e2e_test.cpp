// The real viewer binary under X: started as a user would, driven with xdotool, photographed
// with ImageMagick's import, its pixels probed.
#include "support/e2e.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "support/harness.h"
#include "support/x_client.h"

namespace {

using namespace std::chrono_literals;

// Non-black pixels of a screenshot (blue-green-red).
int litPixels(const cv::Mat& shot) {
  cv::Mat grey;
  cv::cvtColor(shot, grey, cv::COLOR_BGR2GRAY);
  return cv::countNonZero(grey > 12);
}

// The shift (dx, dy) that best carries the patch of `before` around `centre` onto `after`.
cv::Point patchShift(const cv::Mat& before, const cv::Mat& after, cv::Point centre) {
  const cv::Rect patch(centre.x - 40, centre.y - 25, 80, 50);
  cv::Mat score;
  const cv::Rect search(patch.x - 100, patch.y - 100, patch.width + 200, patch.height + 200);
  cv::matchTemplate(after(search & cv::Rect(0, 0, after.cols, after.rows)), before(patch), score,
                    cv::TM_SQDIFF);
  cv::Point best;
  cv::minMaxLoc(score, nullptr, nullptr, &best, nullptr);
  const cv::Point origin = (search & cv::Rect(0, 0, after.cols, after.rows)).tl();
  return origin + best - patch.tl();
}

TEST_F(EndToEnd, OpensTheWindowShowsTheCardAndSpins) {
  launch({});
  waitForWindow();
  const std::string geometry = shell("xwininfo -id " + window_);
  EXPECT_NE(geometry.find("Width: 640"), std::string::npos) << geometry;
  EXPECT_NE(geometry.find("Height: 480"), std::string::npos) << geometry;
  const cv::Mat first = screenshot();
  std::this_thread::sleep_for(500ms);
  const cv::Mat later = screenshot();
  EXPECT_GT(litPixels(first), 80000) << "the globe with the card";
  EXPECT_GT(cv::norm(first, later, cv::NORM_L1), 0.0) << "the globe should be turning";
  EXPECT_EQ(stderrWith("\n"),
            "lumivane: cannot open camera 0: no such camera; showing the test card, retrying "
            "every 2 s\n");
}

TEST_F(EndToEnd, ClosingTheWindowEndsTheProcess) {
  for (const bool destroyed : {false, true}) {
    SCOPED_TRACE(destroyed ? "destroyed by another client" : "closed by the window manager");
    launch({blocksPicture()});
    window_.clear();
    waitForWindow();
    if (destroyed) {
      shell("xdotool windowclose " + window_);  // XDestroyWindow, which freeglut ignores
    } else {
      ASSERT_TRUE(sendDeleteWindow(window_));
    }
    EXPECT_EQ(waitExit(2000ms), 0) << "the viewer should end when its window is gone";
    EXPECT_EQ(readFile(stderrPath_), "");
  }
}

// Every kind of bad argument: one clear line on stderr, then a running window with the card.
TEST_F(EndToEnd, BadArgumentsGetOneLineAndARunningWindow) {
  const std::string notVideo = dir_ + "/notes.txt";
  std::ofstream(notVideo) << "not a video\n";
  const std::string locked = dir_ + "/locked.avi";
  std::ofstream(locked) << "x";
  chmod(locked.c_str(), 0);
  const std::string lying = dir_ + "/lying.bmp";
  const std::vector<unsigned char> bmp = lyingBmp();
  std::ofstream(lying, std::ios::binary)
      .write(reinterpret_cast<const char*>(bmp.data()), static_cast<long>(bmp.size()));
  const std::string dangling = dir_ + "/dangling";
  symlink("/nonexistent/target", dangling.c_str());
  const std::string fifo = dir_ + "/fifo.mp4";
  mkfifo(fifo.c_str(), 0644);
  const std::string sound = dir_ + "/sound.m4a";
  shell("ffmpeg -v error -y -f lavfi -i sine -t 1 " + sound);
  // Raw pictures of this size in NUT crash GStreamer's reader of it.
  const std::string rawNut = dir_ + "/raw.nut";
  shell(
      "ffmpeg -v error -y -f lavfi -i testsrc2=s=1920x960 -frames:v 3 -c:v rawvideo "
      "-pix_fmt nv12 " +
      rawNut);
  const struct {
    std::string argument, expected;
    std::vector<std::string> before = {};  // arguments ahead of it
  } cases[] = {
      {"", "'' is not a camera number, a readable file or a URL; cannot open camera 0 either"},
      {"99999999999999999999", "camera index '99999999999999999999' is out of range"},
      {"-5", "cannot open camera -5: no such camera;"},
      {"/", "'/': a folder, not a picture or video; cannot open file / either"},
      {dangling, "': no such file; cannot open file " + dangling + " either"},
      {"pano.jgp", "'pano.jgp': no such file; cannot open file pano.jgp either"},
      {"7abc", "ignoring 'abc' after camera number 7; cannot open camera 7 either"},
      // As root the locked file can still be read, and then it is simply not a video.
      {locked, geteuid() == 0 ? "cannot open file " + locked : "': cannot be read"},
      {notVideo, "cannot open file " + notVideo + ": not a picture or video the viewer reads;"},
      {lying, "cannot open file " + lying + ": it declares more pixels than this viewer shows;"},
      {"http://127.0.0.1:9/none.mjpg",
       "cannot open stream http://127.0.0.1:9/none.mjpg: connection refused at 127.0.0.1:9 (no "
       "server there);"},
      {fifo, "': not a regular file; cannot open file " + fifo + " either;"},
      {"no\nsuch.png", "'no\\nsuch.png': no such file; cannot open file no\\nsuch.png either"},
      {sound,
       "cannot open file " + sound + ": no video stream it can decode; showing the test card\n"},
      {rawNut,
       "cannot open file " + rawNut +
           ": raw video in a NUT file, which the viewer cannot read; showing the test card"},
      {"udp://127.0.0.1:99999",
       "cannot open stream udp://127.0.0.1:99999: a UDP URL needs a port from 1 to 65535;"},
      {"srt://127.0.0.1", "cannot open stream srt://127.0.0.1: an SRT URL needs a port from 1 to"},
      // A URL with one slash is a file name, and its password goes all the same.
      {"http:/alice:S3CRET@127.0.0.1:18082/x.ts",
       "'http:/alice@127.0.0.1:18082/x.ts': no such file; cannot open file "
       "http:/alice@127.0.0.1:18082/x.ts either"},
      // After "--" nothing is freeglut's.
      {"-display", "'-display' is not a camera number, a readable file or a URL", {"--"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("argument '" + c.argument + "'");
    std::vector<std::string> arguments = c.before;
    arguments.push_back(c.argument);
    launch(arguments);
    window_.clear();
    waitForWindow();
    EXPECT_EQ(waitExit(0ms), -1) << "the viewer should still be running";
    const std::string err = stderrWith(c.expected);
    EXPECT_NE(err.find(c.expected), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("lumivane: ", 0), 0u) << err;
    EXPECT_GT(litPixels(screenshot()), 80000) << "the card on the globe";
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    long peakKb = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0) peakKb = std::stol(line.substr(6));
    }
    EXPECT_LT(peakKb, 600 * 1024) << "resident kilobytes at the peak";
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

TEST_F(EndToEnd, FreeglutOptionIsTakenBeforeTheCameraNumber) {
  launch({"-gldebug", "7"});
  waitForWindow();
  const std::string err = stderrWith("cannot open camera 7: no such camera;");
  EXPECT_NE(err.find("cannot open camera 7: no such camera;"), std::string::npos) << err;
}

TEST_F(EndToEnd, GeometrySizeAndDesktopIdentity) {
  launch({"-geometry", "800x600+50+60", blocksPicture()});
  waitForWindow();
  const std::string geometry = shell("xwininfo -id " + window_);
  EXPECT_NE(geometry.find("Width: 800"), std::string::npos) << geometry;
  EXPECT_NE(geometry.find("Height: 600"), std::string::npos) << geometry;
  const std::string properties = shell("xprop -id " + window_ + " WM_CLASS _NET_WM_PID");
  EXPECT_NE(properties.find("WM_CLASS(STRING) = \"lumivane\", \"Lumivane\""), std::string::npos)
      << properties;
  EXPECT_NE(properties.find("_NET_WM_PID(CARDINAL) = " + std::to_string(pid_)), std::string::npos)
      << properties;
}

TEST_F(EndToEnd, GeometryBeyondTheScreenIsBroughtWithinIt) {
  const struct {
    const char *geometry, *width;
  } cases[] = {{"0x0", "Width: 1\n"}, {"40000x40000", "Width: "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.geometry);
    launch({"-geometry", c.geometry, blocksPicture()});
    window_.clear();
    waitForWindow();
    EXPECT_EQ(waitExit(0ms), -1) << "the viewer should still be running";
    EXPECT_NE(readFile(stderrPath_)
                  .find(std::string("lumivane: a window of ") + c.geometry +
                        " pixels does not fit the screen; using "),
              std::string::npos)
        << readFile(stderrPath_);
    EXPECT_NE(shell("xwininfo -id " + window_).find(c.width), std::string::npos);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

// A position alone, or a geometry that cannot be read, leaves the size at 640 by 480.
TEST_F(EndToEnd, GeometryWithoutASizeKeepsTheDefault) {
  const struct {
    const char *geometry, *said;
  } cases[] = {{"-5-5", ""}, {"abc", "lumivane: -geometry 'abc' is not WxH+X+Y; ignoring it\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.geometry);
    launch({"-geometry", c.geometry, blocksPicture()});
    window_.clear();
    waitForWindow();
    const std::string geometry = shell("xwininfo -id " + window_);
    EXPECT_NE(geometry.find("Width: 640\n"), std::string::npos) << geometry;
    EXPECT_NE(geometry.find("Height: 480\n"), std::string::npos) << geometry;
    EXPECT_EQ(readFile(stderrPath_), c.said);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

// CPU time of the viewer, in clock ticks.
long cpuTicks(pid_t pid) {
  std::istringstream stat(readFile("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  long user = 0, system = 0;
  for (int i = 1; i <= 15 && stat >> field; ++i) {
    if (i == 14) user = std::stol(field);
    if (i == 15) system = std::stol(field);
  }
  return user + system;
}

TEST_F(EndToEnd, LowCpuSleepsOnAStillAndAnswersAtOnce) {
  launch({blocksPicture(), "--low-cpu"});  // an option after the source is taken too
  waitForWindow();
  const cv::Point centre(320, 204);
  drag(centre, centre);  // stops the spin
  const long before = cpuTicks(pid_);
  std::this_thread::sleep_for(3s);
  const double share = double(cpuTicks(pid_) - before) / sysconf(_SC_CLK_TCK) / 3.0;
  EXPECT_LT(share, 0.05) << "a still picture with the spin stopped";

  // With no uploads to bring redraws, a drag must still show.
  const cv::Mat still = screenshot();
  drag(centre, centre + cv::Point(10, 0));
  EXPECT_GT(patchShift(still, screenshot(), centre).x, 10);
  key("v");
  EXPECT_EQ(litPixels(screenshot()), 640 * 480) << "a key shows at once";
  shell("xdotool mousemove --window " + window_ + " 320 240 key Escape");
  EXPECT_EQ(waitExit(1000ms), 0);
  EXPECT_EQ(readFile(stderrPath_), "");
}

TEST_F(EndToEnd, HelpAndVersionNeedNoDisplay) {
  launch({"--help"}, false);
  EXPECT_EQ(waitExit(5000ms), 0);
  EXPECT_NE(readFile(stdoutPath_).find("Usage: lumivane"), std::string::npos);
  EXPECT_EQ(readFile(stderrPath_), "");
  launch({"--version"}, false);
  EXPECT_EQ(waitExit(5000ms), 0);
  EXPECT_EQ(readFile(stdoutPath_).rfind("lumivane ", 0), 0u) << readFile(stdoutPath_);
}

TEST_F(EndToEnd, VideoColoursOnTheGlobeFirstRowsOnTop) {
  // Every frame: a magenta band across the first fifth of the rows, green below.
  std::vector<Rgb> colours(30, kGreen);
  cv::VideoWriter writer(dir_ + "/clip.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0,
                         cv::Size(640, 320));
  ASSERT_TRUE(writer.isOpened());
  for (int i = 0; i < 30; ++i) {
    cv::Mat frame = solidFrame(640, 320, kGreen);
    frame.rowRange(0, 64).setTo(cv::Scalar(255, 0, 255));
    writer.write(frame);
  }
  writer.release();
  launch({dir_ + "/clip.avi"});
  waitForWindow();
  // The card is up until GStreamer, opening in the background, hands over the first frame.
  cv::Mat rgb;
  for (int tries = 0; tries < 40; ++tries) {
    cv::cvtColor(screenshot(), rgb, cv::COLOR_BGR2RGB);
    if (probeColour(rgb, 320, 12, kMagenta, 40)) break;
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(probeColour(rgb, 320, 12, kMagenta, 40));
  EXPECT_TRUE(probeColour(rgb, 320, 204, kGreen, 40));
  EXPECT_TRUE(probeColour(rgb, 320, 380, kGreen, 40));
  EXPECT_TRUE(probeColour(rgb, 20, 20, kBlack, 0));
  EXPECT_EQ(readFile(stderrPath_), "");
}

TEST_F(EndToEnd, DragsFollowThePointerOutsideAndOpposeItInside) {
  launch({blocksPicture()});
  waitForWindow();
  const cv::Point centre(320, 204);  // where the globe's near side shows
  drag(centre, centre);              // stops the spin, turns nothing
  cv::Mat before = screenshot();
  drag(centre, centre + cv::Point(10, 0));
  cv::Mat after = screenshot();
  const cv::Point right = patchShift(before, after, centre);
  EXPECT_GT(right.x, 10) << "a drag right should carry the near side right";
  EXPECT_LT(std::abs(right.y), 6);

  before = after;
  drag(centre, centre + cv::Point(0, 8));
  after = screenshot();
  const cv::Point down = patchShift(before, after, centre);
  EXPECT_GT(down.y, 8) << "a drag down should carry the near side down";

  key("v");
  before = screenshot();
  drag(centre, centre + cv::Point(10, 0));
  after = screenshot();
  const cv::Point inside = patchShift(before, after, {320, 240});
  EXPECT_LT(inside.x, -10) << "inside, the picture ahead moves against the pointer";
  before = after;
  drag(centre, centre + cv::Point(0, 8));
  after = screenshot();
  EXPECT_LT(patchShift(before, after, {320, 240}).y, -8);
}

TEST_F(EndToEnd, KeysSwitchViewZoomAndQuit) {
  launch({blocksPicture()});
  waitForWindow();
  const int globe = litPixels(screenshot());
  EXPECT_LT(globe, 640 * 480 * 0.6);
  key("v");
  EXPECT_EQ(litPixels(screenshot()), 640 * 480) << "the panorama fills the window";
  key("v");
  EXPECT_NEAR(litPixels(screenshot()), globe, globe * 0.05) << "v again brings the globe back";
  key("plus plus plus");
  const int zoomed = litPixels(screenshot());
  EXPECT_GT(zoomed, globe * 1.3) << "three + should make the globe larger";
  key("minus minus minus");
  EXPECT_NEAR(litPixels(screenshot()), globe, globe * 0.05);

  shell("xdotool mousemove --window " + window_ + " 320 240 key Escape");
  EXPECT_EQ(waitExit(1000ms), 0) << "Escape should end the viewer with status 0 within 1 s";
}

// A camera at the kernel interface, answering V4L2's calls for /dev/video7 as uvcvideo does, with
// /dev/video8 its metadata node. Its frames are four bands, red to blue from the top, at every
// size; the modes a wrong choice would take show them upside down.
class CameraEndToEnd : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    unplugged_ = dir_ + "/unplugged";
    const char* asan = std::getenv("ASAN_OPTIONS");
    env_ = {
        "LD_PRELOAD=" LUMIVANE_FAKE_CAMERA_LIB,
        "LUMIVANE_FAKE_CAMERA=/dev/video7",
        "LUMIVANE_FAKE_CAMERA_META=/dev/video8",
        "LUMIVANE_FAKE_CAMERA_FRAMES=" + dir_,
        "LUMIVANE_FAKE_CAMERA_LOCK=" + dir_ + "/lock",
        "LUMIVANE_FAKE_CAMERA_UNPLUGGED=" + unplugged_,
        "LUMIVANE_FAKE_CAMERA_MODES=YUYV:640x320@10 MJPG:1920x960@30/15 MJPG:3840x1920@30 "
        "YUYV:1280x640@10",
        std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
    cv::Mat bands(960, 1920, CV_8UC3);
    for (int band = 0; band < 4; ++band)
      bands.rowRange(band * 240, band * 240 + 240) = kBands[band];
    ASSERT_TRUE(cv::imwrite(dir_ + "/upright.png", bands));
    cv::flip(bands, bands, 0);
    ASSERT_TRUE(cv::imwrite(dir_ + "/upside-down.png", bands));
    // The frames come from ffmpeg, not from our own conversions.
    for (const std::string mode :
         {"MJPG-3840x1920", "YUYV-1280x640", "MJPG-1920x960", "YUYV-640x320"}) {
      std::string size = mode.substr(5);
      const bool upright = size == "3840x1920" || size == "1280x640";
      shell("ffmpeg -loglevel error -y -i " + dir_ +
            (upright ? "/upright.png" : "/upside-down.png") +
            " -vf scale=" + size.replace(size.find('x'), 1, ":") +
            (mode[0] == 'M' ? " -q:v 3 -pix_fmt yuvj422p -f mjpeg "
                            : " -pix_fmt yuyv422 -f rawvideo ") +
            dir_ + "/" + mode + ".bin");
    }
  }

  // The window once a picture is up rather than the test card: the top band at the globe's top.
  cv::Mat shownPicture() {
    cv::Mat shot;
    for (int tries = 0; tries < 50; ++tries) {
      shot = screenshot();
      const cv::Vec3d top = shot.at<cv::Vec3b>(14, 320);
      if (cv::norm(top - cv::Vec3d(kBands[0].val)) < 60 ||
          cv::norm(top - cv::Vec3d(kBands[3].val)) < 60)
        break;
      std::this_thread::sleep_for(100ms);
    }
    return shot;
  }

  // Starts the viewer, waits for its picture, lets it run a second, and stops it.
  // The viewer's picture; with `awaited`, once stderr holds it too (a damaged frame is seen only
  // when it is the one shown, which a slow build may take a while to come to).
  cv::Mat pictureOf(const std::vector<std::string>& args, const std::vector<std::string>& env,
                    const std::string& awaited = "") {
    launch(args, true, env);
    window_.clear();
    waitForWindow();
    const cv::Mat shot = shownPicture();
    std::this_thread::sleep_for(1s);
    if (!awaited.empty()) stderrWith(awaited, 10);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return shot;
  }

  // Blue-green-red, red at the top; each band holds all along its rows, so the globe's spin
  // changes nothing in a screenshot.
  static inline const cv::Scalar kBands[] = {
      {40, 40, 220}, {40, 200, 40}, {200, 200, 40}, {220, 40, 40}};
  std::vector<std::string> env_;
  std::string unplugged_;
};

// The largest mode, by number and by path, and what is asked instead; each picture as the still
// of the same bands shows it.
TEST_F(CameraEndToEnd, ShowsTheBestModeOrTheOneAskedFor) {
  const std::string byId = dir_ + "/usb-Lumivane_Test_Camera-video-index0";
  ASSERT_EQ(symlink("/dev/video7", byId.c_str()), 0);
  const cv::Mat stills[] = {pictureOf({dir_ + "/upright.png"}, {}),
                            pictureOf({dir_ + "/upside-down.png"}, {})};
  const struct {
    std::vector<std::string> args;
    bool upright;      // the bands as the still shows them, not upside down
    std::string said;  // all that stderr holds
    std::string damageEvery = "";
  } cases[] = {
      {{"7"}, true, ""},
      {{byId, "--camera-format=yuyv"}, true, ""},
      {{"--camera-size=1900x950", "/dev/video7"},
       false,
       "lumivane: camera /dev/video7 does not offer 1900x950; using MJPG 1920x960 at 30 fps\n"},
      {{"7"}, true, "lumivane: camera 7 sent a damaged picture; such pictures are skipped\n", "4"},
      // Drawn by the shader from the camera's own bytes: its JPEG's YUV 4:2:2 planes, its YUYV.
      {{"--gpu", "7"}, true, ""},
      {{"--gpu", byId, "--camera-format=yuyv"}, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back() + " " + c.damageEvery);
    std::vector<std::string> env = env_;
    if (!c.damageEvery.empty()) env.push_back("LUMIVANE_FAKE_CAMERA_DAMAGE_EVERY=" + c.damageEvery);
    const cv::Mat shot = pictureOf(c.args, env, c.said);
    EXPECT_EQ(readFile(stderrPath_), c.said);
    const cv::Mat& still = stills[c.upright ? 0 : 1];
    EXPECT_LT(cv::norm(shot, still, cv::NORM_L1) / shot.total() / 3, 3.0)
        << "per pixel and channel";
  }
}

TEST_F(CameraEndToEnd, ListsCamerasWithoutADisplay) {
  launch({"--list-cameras"}, false, env_);
  EXPECT_EQ(waitExit(5000ms), 0);
  EXPECT_EQ(readFile(stdoutPath_),
            "/dev/video7 (camera 7): Lumivane Test Camera (uvcvideo, usb-0000:00:14.0-1)\n"
            "  YUYV (YUYV 4:2:2): 640x320 at 10 fps, 1280x640 at 10 fps\n"
            "  MJPG (Motion-JPEG): 1920x960 at 30/15 fps, 3840x1920 at 30 fps\n"
            "  opened as MJPG 3840x1920 at 30 fps unless asked otherwise\n");
  EXPECT_EQ(readFile(stderrPath_), "");
  launch({"--list-cameras"}, false);
  EXPECT_EQ(waitExit(5000ms), 0);
  EXPECT_EQ(readFile(stdoutPath_).rfind("No camera found", 0), 0u) << readFile(stdoutPath_);
}

// Busy, forbidden and the wrong node: one line each with its reason. Unplugged: the last picture
// dimmed, then back by itself.
TEST_F(CameraEndToEnd, FaultsSayWhyAndAnUnpluggedCameraComesBack) {
  launch({"7"}, true, env_);
  waitForWindow();
  const double bright = cv::mean(shownPicture())[2];
  const pid_t streaming = pid_;
  const std::string streamingErr = stderrPath_;
  const std::string faults[][2] = {
      {"7", "lumivane: cannot open camera 7: in use by another program; showing"},
      {"/dev/video8",
       "lumivane: cannot open camera /dev/video8: not a camera's picture node; its "
       "picture node is /dev/video7; showing"},
      {"7", "lumivane: cannot open camera 7: permission denied; add yourself to the video group"},
  };
  for (const auto& fault : faults) {
    std::vector<std::string> env = env_;
    if (fault[1].find("permission") != std::string::npos)
      env.push_back("LUMIVANE_FAKE_CAMERA_DENY=1");
    launch({fault[0]}, true, env);
    const std::string err = stderrWith(fault[1]);
    EXPECT_EQ(err.rfind(fault[1], 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = streaming;
  stderrPath_ = streamingErr;

  std::ofstream(unplugged_) << "";
  const std::string stopped =
      "lumivane: camera 7 stopped delivering frames: unplugged; its last picture is shown "
      "dimmed, retrying every 2 s\n";
  EXPECT_EQ(stderrWith(stopped), stopped);
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(cv::mean(screenshot())[2], bright * 0.8) << "dimmed";
  std::remove(unplugged_.c_str());
  const std::string back = stopped + "lumivane: camera 7 is delivering frames\n";
  EXPECT_EQ(stderrWith(back, 8), back) << "back within 2 s, said after 3 s more";
  EXPECT_NEAR(cv::mean(screenshot())[2], bright, bright * 0.1) << "bright again";
}

// Escape is answered at once, whatever the camera's rate.
TEST_F(CameraEndToEnd, EscapeAtOnceOnASlowCamera) {
  std::vector<std::string> env = env_;
  env.push_back("LUMIVANE_FAKE_CAMERA_MODES=MJPG:3840x1920@1");
  launch({"7"}, true, env);
  waitForWindow();
  shownPicture();
  const auto start = std::chrono::steady_clock::now();
  shell("xdotool mousemove --window " + window_ + " 320 240 key Escape");
  EXPECT_EQ(waitExit(2000ms), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(readFile(stderrPath_), "");
}

// A stream that decoding cannot keep up with, the viewer given a share of one processor: it
// stays near the present, at key frames if it must, and says so once. The clip turns from red
// to blue 6 s in.
TEST_F(EndToEnd, StreamTooHeavyToDecodeStaysLiveAndSaysSo) {
#ifdef __SANITIZE_ADDRESS__
  // Instrumented, all of the viewer falls behind this stream, not its decoder alone: the bound
  // is the released build's.
  GTEST_SKIP() << "a real-time bound, not measured under AddressSanitizer";
#endif
  // Noise that changes each picture: 90 Mbit/s, which one thread decodes at 0.87 of real time.
  // A key frame each second, as a camera sends them; the switch to blue is one.
  const std::string clip = dir_ + "/heavy.ts", progress = dir_ + "/progress";
  ASSERT_EQ(
      shell("ffmpeg -v error -y -f lavfi -i 'color=c=red:s=1920x960:r=30,noise=alls=40:"
            "allf=t,drawbox=c=blue:t=fill:enable=gte(n\\,180)' -t 14 -c:v libx264 "
            "-preset superfast -b:v 90M -maxrate 90M -bufsize 45M -g 30 -bf 0 -sc_threshold 0 " +
            clip + " && echo made"),
      "made\n");
  int port = 0;
  close(listenOnLoopback(1, &port));
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/live";
  const pid_t server = std::stoi(
      shell("ffmpeg -v error -re -i " + clip + " -c copy -f mpegts -progress " + progress +
            " -stats_period 0.1 -listen 1 " + url + " >/dev/null 2>&1 & echo $!"));
  while (shell("ss -ltn | grep -c ':" + std::to_string(port) + " '") == "0\n") {
    std::this_thread::sleep_for(50ms);
  }
  // The viewer and two busy loops share the first processor this test may use: the decoder
  // gets less than it needs, the network and the demuxer as much as they need.
  cpu_set_t all, first;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  CPU_ZERO(&first);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &first);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof first, &first), 0);
  std::vector<pid_t> busy;
  for (int i = 0; i < 2; ++i) {
    busy.push_back(fork());
    if (busy.back() == 0) {
      for (volatile unsigned spin = 0;; spin = spin + 1) {
      }
    }
  }
  launch({url});
  sched_setaffinity(0, sizeof all, &all);
  // The server's clock starts as the viewer connects; 1.5 s past the change on that clock, the
  // change is on screen. A viewer that falls behind holds the server back, so what it has sent
  // is no measure.
  const auto sentUs = [&] {
    const std::string text = readFile(progress);
    const size_t at = text.rfind("out_time_us=");
    return at == std::string::npos ? 0L : std::atol(text.c_str() + at + 12);
  };
  for (int i = 0; i < 400 && sentUs() <= 0; ++i) std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(7500ms);
  waitForWindow();
  const cv::Scalar shown = cv::mean(screenshot()(cv::Rect(220, 140, 200, 200)));
  for (const pid_t loop : busy) kill(loop, SIGKILL);
  for (const pid_t loop : busy) waitpid(loop, nullptr, 0);
  kill(server, SIGKILL);
  EXPECT_GT(shown[0], 2 * shown[2]) << "blue within 1.5 s of its sending: " << shown;
  const std::string said =
      "lumivane: decoding cannot keep up with stream " + url + "; showing what it can\n";
  EXPECT_EQ(stderrWith(said, 1), said);
}

}  // namespace
