// Shared test helpers: window, read-back, probes and fixtures.
#include "support/harness.h"

#include <GL/freeglut.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>
#include <thread>

#include "app/app.h"
#include "render/render.h"

// The viewer silences the capture library before anything else; so do the tests, or its
// warnings would land in the stderr they compare.
const bool quietLibrary = (prepareCapture(), true);

int listenOnLoopback(int backlog, int* port) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, backlog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener >= 0) close(listener);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return listener;
}

std::uint32_t fakeNow = 0;
std::uint32_t fakeTick() { return fakeNow; }

void openTestWindow() {
  if (viewer.window == 0) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "rendering tests need an X display (xvfb-run)";
    int argc = 1;
    char name[] = "lumivane-tests";
    char* argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(640, 480);
    viewer.window = glutCreateWindow("Lumivane - Brackwell");
    createSceneObjects();
    initScene();
  }
  onReshape(640, 480);
  viewer.zoom = 1.0f;
  viewer.spinAngle = 0.0f;
  viewer.spinStep = 2.0f;
  viewer.insideView = false;
  viewer.orientation = viewer.dragOrientation = kIdentityQuaternion;
  viewer.rotationMatrix = kIdentityMatrix;
  viewer.dragging = 0;
}

void GlTest::SetUp() {
  openTestWindow();
  setTickSource(fakeTick);
}

void GlTest::TearDown() {
  setTickSource(nullptr);
  releaseSource(viewer.capture);
  viewer.capture = FrameSource();
}

cv::Mat readBackBuffer() {
  cv::Mat image(480, 640, CV_8UC3);
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, 640, 480, GL_RGB, GL_UNSIGNED_BYTE, image.data);
  cv::flip(image, image, 0);  // GL counts rows from the bottom
  return image;
}

cv::Mat readTexture(unsigned int texture) {
  glBindTexture(GL_TEXTURE_2D, texture);
  GLint width = 0, height = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
  cv::Mat image(height, width, CV_8UC3);
  if (width == 0 || height == 0) return image;
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, image.data);
  return image;
}

bool sameColour(const cv::Vec3b& rgb, Rgb expected, int tolerance) {
  return std::abs(rgb[0] - expected.r) <= tolerance && std::abs(rgb[1] - expected.g) <= tolerance &&
         std::abs(rgb[2] - expected.b) <= tolerance;
}

::testing::AssertionResult probeColour(const cv::Mat& rgb, int x, int y, Rgb expected,
                                       int tolerance) {
  const cv::Vec3b seen = rgb.at<cv::Vec3b>(y, x);
  if (sameColour(seen, expected, tolerance)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "Probe color at (" << x << "," << y << "): expected (" << expected.r << ","
         << expected.g << "," << expected.b << "), observed (" << int(seen[0]) << ","
         << int(seen[1]) << "," << int(seen[2]) << ")";
}

cv::Mat solidFrame(int width, int height, Rgb colour) {
  return cv::Mat(height, width, CV_8UC3, cv::Scalar(colour.b, colour.g, colour.r));
}

std::string scratchDir(const std::string& name) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("lumivane-test-" + std::to_string(getpid()) + "-" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

std::string writeVideo(const std::string& dir, const std::vector<Rgb>& colours, double fps,
                       int width, int height, bool detailed) {
  const std::string path = dir + "/clip.avi";
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps,
                         cv::Size(width, height));
  EXPECT_TRUE(writer.isOpened()) << "cannot write " << path;
  cv::RNG random(7);
  for (const Rgb& colour : colours) {
    cv::Mat frame = solidFrame(width, height, colour);
    if (detailed) {
      // Noise around the middle third, which keeps the colour.
      cv::Mat noise(height, width, CV_8UC3);
      random.fill(noise, cv::RNG::NORMAL, 128, 30);
      frame(cv::Rect(width / 3, height / 3, width / 3, height / 3))
          .copyTo(noise(cv::Rect(width / 3, height / 3, width / 3, height / 3)));
      frame = noise;
    }
    writer.write(frame);
  }
  return path;
}

std::vector<unsigned char> lyingBmp() {
  const auto le32 = [](std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back((value >> shift) & 0xFF);
  };
  std::vector<unsigned char> bmp = {'B', 'M'};
  for (std::uint32_t value : {1080u, 0u, 1078u, 40u, 12000u, 12000u}) le32(bmp, value);
  bmp.insert(bmp.end(), {1, 0, 8, 0});  // one plane, 8 bits
  for (std::uint32_t value : {1u, 2u, 2835u, 2835u, 256u, 0u}) le32(bmp, value);  // RLE8
  bmp.resize(1078);                                                               // palette
  bmp.insert(bmp.end(), {0, 1});  // end of the picture
  return bmp;
}

std::uint32_t realMs() {
  static const auto start = std::chrono::steady_clock::now();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
}

const cv::Mat* waitForFrame(FrameSource& source, double seconds, double* worstMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const auto before = std::chrono::steady_clock::now();
    const cv::Mat* frame = nextFrame(source, realMs());
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
            .count();
    if (worstMs != nullptr) *worstMs = std::max(*worstMs, ms);
    if (frame != nullptr) return frame;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

// GLib and GStreamer keep their type system, registry and thread pools for the life of the
// process and never free them; LeakSanitizer leaves their allocations out of its report (ours
// through them are owned by RAII wrappers). Only a sanitizer build calls this.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgstreamer-1.0.so\n";
}
