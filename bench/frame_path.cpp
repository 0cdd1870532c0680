// Frame-path benchmark: times each stage of one upload and redraw (grab, conversion and upload,
// draw and swap) at three frame sizes, against a plain memcpy of the same frame, and the
// sustained upload pace of the real event loop on a 3840 by 1920 video.
#include <GL/freeglut.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "app/app.h"
#include "render/render.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Stat {
  double median, worst;
};

Stat summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return Stat{samples[samples.size() / 2], samples.back()};
}

// A video of `frames` frames with detail everywhere, so that decoding costs what a camera's
// picture would.
std::string makeVideo(int width, int height, int frames, const std::string& dir) {
  const std::string path =
      dir + "/bench-" + std::to_string(width) + "x" + std::to_string(height) + ".avi";
  if (std::filesystem::exists(path)) return path;
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0,
                         cv::Size(width, height));
  if (!writer.isOpened()) {
    std::fprintf(stderr, "bench: cannot write %s\n", path.c_str());
    std::exit(1);
  }
  cv::Mat frame(height, width, CV_8UC3);
  cv::RNG random(1);
  for (int i = 0; i < frames; ++i) {
    for (int y = 0; y < height; ++y) {
      auto* row = frame.ptr<cv::Vec3b>(y);
      for (int x = 0; x < width; ++x) {
        row[x] = cv::Vec3b(static_cast<uchar>(x * 255 / width + i * 4),
                           static_cast<uchar>(y * 255 / height), static_cast<uchar>((x ^ y) + i));
      }
    }
    cv::randn(frame(cv::Rect(0, 0, width / 4, height / 4)), 128, 40);
    writer.write(frame);
  }
  return path;
}

struct SizeResult {
  int width, height;
  Stat grab, upload, draw, total, memcpyMs, libraryUpload;
};

SizeResult measureSize(int width, int height, int iterations, const std::string& dir) {
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = makeVideo(width, height, 30, dir);
  FrameSource source;
  std::uint32_t now = 0;
  openSource(source, choice, now);

  std::vector<double> grab, upload, draw, total, copy, library;
  std::vector<unsigned char> copyTarget(static_cast<size_t>(width) * height * 3);
  cv::Mat rgb(height, width, CV_8UC3);
  for (int i = 0; i < iterations + 3; ++i) {
    now += 34;  // one new frame of a 30 fps file per call
    auto start = Clock::now();
    const cv::Mat* frame = nextFrame(source, now);
    const double tGrab = msSince(start);
    if (frame == nullptr) {
      std::fprintf(stderr, "bench: no frame from %s\n", choice.location.c_str());
      std::exit(1);
    }
    // Our conversion and upload on even runs, the library calls alone (into a buffer kept
    // between runs) on odd ones: each then follows a draw, as an upload does in the viewer,
    // and redefining a texture right after a draw costs more than right after another upload.
    double tUpload = -1.0, tLibrary = -1.0;
    start = Clock::now();
    if (i % 2 == 0) {
      uploadFrame(*frame, viewer.texture);
      glFinish();
      tUpload = msSince(start);
    } else {
      cv::cvtColor(*frame, rgb, cv::COLOR_BGR2RGB);
      glBindTexture(GL_TEXTURE_2D, viewer.texture);
      glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, width, height, 0, GL_RGB, GL_UNSIGNED_BYTE, rgb.data);
      glFinish();
      tLibrary = msSince(start);
    }
    start = Clock::now();
    onDisplay();
    glFinish();
    const double tDraw = msSince(start);

    start = Clock::now();
    std::memcpy(copyTarget.data(), frame->data, copyTarget.size());
    const double tCopy = msSince(start);
    if (copyTarget[copyTarget.size() / 2] == 1) std::fputc(' ', stderr);  // keep the copy

    if (i < 3) continue;  // warm-up
    grab.push_back(tGrab);
    draw.push_back(tDraw);
    copy.push_back(tCopy);
    if (tUpload >= 0.0) {
      upload.push_back(tUpload);
      total.push_back(tGrab + tUpload + tDraw);
    } else {
      library.push_back(tLibrary);
    }
  }
  releaseSource(source);
  return SizeResult{width,           height,           summarise(grab), summarise(upload),
                    summarise(draw), summarise(total), summarise(copy), summarise(library)};
}

// The sustained pace: the real event loop with the real idle handler, timing each upload.
std::vector<double> uploadTimes;
double startupWorst = 0.0;
Clock::time_point loopEnd;

void timedIdle() {
  const std::uint32_t before = viewer.lastUploadTick;
  const double start =
      std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
  onIdle();
  if (viewer.lastUploadTick != before) uploadTimes.push_back(start);
  if (Clock::now() >= loopEnd) glutLeaveMainLoop();
}

Stat sustainedPace(const std::string& video, double seconds, int* uploads, int* late) {
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = video;
  openSource(viewer.capture, choice, tickMs());
  viewer.lastUploadTick = tickMs();
  uploadTimes.clear();
  loopEnd = Clock::now() +
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  glutIdleFunc(timedIdle);
  glutMainLoop();
  // The first second holds the file's opening and first decode, and the texture's first
  // allocation at this size; it is reported apart from the steady pace.
  std::vector<double> intervals;
  for (size_t i = 1; i < uploadTimes.size(); ++i) {
    if (uploadTimes[i - 1] - uploadTimes[0] < 1000.0) {
      startupWorst = std::max(startupWorst, uploadTimes[i] - uploadTimes[i - 1]);
      continue;
    }
    intervals.push_back(uploadTimes[i] - uploadTimes[i - 1]);
  }
  *uploads = static_cast<int>(uploadTimes.size());
  *late = static_cast<int>(
      std::count_if(intervals.begin(), intervals.end(), [](double ms) { return ms >= 70.0; }));
  releaseSource(viewer.capture);
  return intervals.empty() ? Stat{0, 0} : summarise(intervals);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10.0;
  int iterations = 30;
  std::string sustainedVideo;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--iterations") == 0 && i + 1 < argc)
      iterations = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--video") == 0 && i + 1 < argc) sustainedVideo = argv[++i];
  }
  prepareCapture();
  const std::string dir = (std::filesystem::temp_directory_path() / "lumivane-bench").string();
  std::filesystem::create_directories(dir);

  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
  glutInitWindowSize(640, 480);
  viewer.window = glutCreateWindow("Lumivane - Brackwell");
  glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_CONTINUE_EXECUTION);
  createSceneObjects();
  initScene();
  onReshape(640, 480);

  std::printf("GL renderer: %s\n\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
  std::printf(
      "| frame | grab | convert+upload | draw+swap | total | memcpy | total/memcpy |"
      " library calls alone | ours over library |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  const int sizes[][2] = {{640, 480}, {1920, 960}, {3840, 1920}};
  for (const auto& size : sizes) {
    const SizeResult r = measureSize(size[0], size[1], iterations, dir);
    std::printf(
        "| %dx%d | %.1f / %.1f | %.1f / %.1f | %.1f / %.1f | %.1f / %.1f | %.2f / %.2f | %.0fx |"
        " %.1f / %.1f | %+.0f%% |\n",
        r.width, r.height, r.grab.median, r.grab.worst, r.upload.median, r.upload.worst,
        r.draw.median, r.draw.worst, r.total.median, r.total.worst, r.memcpyMs.median,
        r.memcpyMs.worst, r.total.median / r.memcpyMs.median, r.libraryUpload.median,
        r.libraryUpload.worst, 100.0 * (r.upload.median / r.libraryUpload.median - 1.0));
    std::fflush(stdout);
  }
  std::printf(
      "\n(milliseconds, median / worst of %d runs; convert+upload and the library calls"
      " alone %d runs each)\n\n",
      iterations, iterations / 2);

  if (sustainedVideo.empty()) sustainedVideo = makeVideo(3840, 1920, 30, dir);
  int uploads = 0, late = 0;
  const Stat pace = sustainedPace(sustainedVideo, seconds, &uploads, &late);
  std::printf(
      "Sustained, real event loop, %s for %.0f s: %d uploads; after the first second,"
      " interval median %.1f ms, worst %.1f ms, %d of 70 ms or more; worst in the first"
      " second %.1f ms\n",
      std::filesystem::path(sustainedVideo).filename().c_str(), seconds, uploads, pace.median,
      pace.worst, late, startupWorst);
  return 0;
}
