// Shared test helpers: a real GL window under X, reading back what was drawn, colour probes
// with a tolerance, and generated fixture pictures and videos.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "capture/capture.h"

// Opens the one 640 by 480 double-buffered window of the test process (once), with the
// viewer's quadric, texture and GL state, and resets the viewer's view fields.
void openTestWindow();

// A test in the window, on the fake clock, with the viewer's source closed afterwards.
class GlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// The back buffer as an RGB image, row 0 at the top. Read before any swap.
cv::Mat readBackBuffer();

// The level-0 image of `texture` as an RGB image, row 0 being texture row 0 (t = 0).
cv::Mat readTexture(unsigned int texture);

struct Rgb {
  int r, g, b;
};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kGreen{0, 255, 0};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kYellow{255, 255, 0};
constexpr Rgb kMagenta{255, 0, 255};

// piglit's tolerance: about 3/256 a channel.
constexpr int kProbeTolerance = 3;

bool sameColour(const cv::Vec3b& rgb, Rgb expected, int tolerance = kProbeTolerance);

// Probe of an RGB image; failure text names the position, expected and observed colours.
::testing::AssertionResult probeColour(const cv::Mat& rgb, int x, int y, Rgb expected,
                                       int tolerance = kProbeTolerance);

// A blue-green-red image filled with `colour` (given as red, green, blue).
cv::Mat solidFrame(int width, int height, Rgb colour);

// A fresh empty folder for one test's files.
std::string scratchDir(const std::string& name);

// Writes an MJPG AVI of `colours.size()` frames, frame i filled with colours[i]; a detailed
// frame is noise but for its middle third.
std::string writeVideo(const std::string& dir, const std::vector<Rgb>& colours, double fps,
                       int width = 64, int height = 32, bool detailed = false);

// A BMP of 1,080 bytes whose header claims 12000 by 12000 pixels, run-length coded.
std::vector<unsigned char> lyingBmp();

// A listening TCP socket on a free port of the loopback interface; -1 if none could be made.
int listenOnLoopback(int backlog, int* port);

// A fake millisecond clock for the tick seam.
extern std::uint32_t fakeNow;
std::uint32_t fakeTick();

// Milliseconds of the real monotonic clock since the first call, for sources read in real time.
std::uint32_t realMs();

// Calls nextFrame every 10 ms on the real clock until it gives a frame or `seconds` pass; the
// longest call, in milliseconds, goes to `worstMs` when given.
const cv::Mat* waitForFrame(FrameSource& source, double seconds, double* worstMs = nullptr);
