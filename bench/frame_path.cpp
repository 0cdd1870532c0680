// Frame-path benchmark: times each stage of one upload and redraw (grab, conversion and upload,
// draw and swap) at three frame sizes, against a plain memcpy of the same frame, the sustained
// upload pace of the real event loop on a 3840 by 1920 video, and the delay of live streams.
#include <GL/freeglut.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"

extern char** environ;
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

// Polls nextFrame on the real clock until a frame comes (GStreamer reads in the background);
// the time of the call that gave it goes to `callMs`.
const cv::Mat* waitForFrame(FrameSource& source, double* callMs) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end) {
    const auto start = Clock::now();
    const cv::Mat* frame = nextFrame(source, tickMs());
    *callMs = msSince(start);
    if (frame != nullptr) return frame;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return nullptr;
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
  openSource(source, choice, tickMs());

  std::vector<double> grab, upload, draw, total, copy, library;
  std::vector<unsigned char> copyTarget(static_cast<size_t>(width) * height * 3);
  cv::Mat rgb(height, width, CV_8UC3);
  for (int i = 0; i < iterations + 3; ++i) {
    double tGrab = 0.0;
    const cv::Mat* frame = waitForFrame(source, &tGrab);
    auto start = Clock::now();
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
}

Stat sustainedPace(const SourceChoice& choice, double seconds, int* uploads, int* late) {
  const int quiet = dup(2), null = open("/dev/null", O_WRONLY);
  dup2(null, 2);  // the layout hint, for frames that do not hold the layout they are told
  openSource(viewer.capture, choice, tickMs());
  viewer.lastUploadTick = tickMs();
  uploadTimes.clear();
  startupWorst = 0.0;
  loopEnd = Clock::now() +
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  // The event loop as freeglut runs it (events, then the idle handler), kept here so that it
  // can be left and entered again.
  while (Clock::now() < loopEnd) {
    glutMainLoopEvent();
    timedIdle();
  }
  dup2(quiet, 2);
  close(quiet);
  close(null);
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

// The cost of the reprojection alone, per shown frame, for each layout at a 3840 by 1920
// picture: frames with detail everywhere, already decoded, through the same component the viewer
// runs. The first call builds the maps; it is reported apart.
struct LayoutCase {
  const char* name;
  cv::Size frame;
  LayoutOptions options;
};

struct LayoutResult {
  double firstMs;
  Stat perFrame;
  double cpuMs;  // processor time per frame, all threads together: steady under a busy machine
  cv::Size picture;
};

LayoutResult measureLayout(const LayoutCase& c, int iterations) {
  cv::Mat frame(c.frame, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
  Reprojector reprojector;
  reprojector.layout = mergeLayout(c.options, Layout{});
  reprojector.saidHint = true;
  auto start = Clock::now();
  LayoutResult result{0.0, {}, 0.0, reproject(reprojector, frame).size()};
  result.firstMs = msSince(start);
  std::vector<double> times;
  const std::clock_t cpuStart = std::clock();
  for (int i = 0; i < iterations; ++i) {
    start = Clock::now();
    reproject(reprojector, frame);
    times.push_back(msSince(start));
  }
  result.cpuMs = 1000.0 * (std::clock() - cpuStart) / CLOCKS_PER_SEC / iterations;
  result.perFrame = summarise(times);
  return result;
}

std::vector<LayoutCase> layoutCases() {
  std::vector<LayoutCase> cases(7);
  cases[0] = {"equirect, as it is", {3840, 1920}, {}};
  cases[1] = {"equirect, --yaw=30 --pitch=20 --roll=10", {3840, 1920}, {}};
  cases[1].options.yawDeg = 30.0;
  cases[1].options.pitchDeg = 20.0;
  cases[1].options.rollDeg = 10.0;
  cases[2] = {"--stereo=top-bottom", {3840, 3840}, {}};
  cases[2].options.stereo = Stereo::topBottom;
  cases[3] = {"--stereo=left-right", {7680, 1920}, {}};
  cases[3].options.stereo = Stereo::leftRight;
  cases[4] = {"--projection=dual-fisheye", {3840, 1920}, {}};
  cases[4].options.projection = Projection::dualFisheye;
  cases[5] = {"--projection=eac", {2880, 1920}, {}};
  cases[5].options.projection = Projection::eac;
  cases[6] = {"--projection=cubemap", {2880, 1920}, {}};
  cases[6].options.projection = Projection::cubemap;
  return cases;
}

// --- Live streams -----------------------------------------------------------------------
// A loopback stream served by ffmpeg at its own rate (-re) from a clip whose frames carry their
// number in a row of black and white blocks. Frame k leaves the server k / fps after the
// client connects; the delay is taken when the frame has been drawn and swapped.
constexpr int kNumberBits = 10;
constexpr int kLiveClipFrames = 300;  // 10 s at 30 fps; the server loops it
constexpr double kLiveFps = 30.0;

double clockMs() {
  return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

int blockSize(int width) { return width / 32; }

void drawNumber(cv::Mat& frame, int number) {
  const int block = blockSize(frame.cols);
  for (int bit = 0; bit < kNumberBits; ++bit) {
    const bool on = (number >> bit) & 1;
    frame(cv::Rect(block * (2 * bit + 4), block * 4, block, block))
        .setTo(cv::Scalar::all(on ? 255 : 0));
  }
}

int readNumber(const cv::Mat& frame) {
  if (frame.empty()) return -1;
  const int block = blockSize(frame.cols);
  int number = 0;
  for (int bit = 0; bit < kNumberBits; ++bit) {
    const cv::Vec3b centre =
        frame.at<cv::Vec3b>(block * 4 + block / 2, block * (2 * bit + 4) + block / 2);
    if (centre[1] > 128) number |= 1 << bit;
  }
  return number;
}

std::string makeNumberedClip(int width, int height, const std::string& dir, bool h264) {
  const std::string base = dir + "/live-" + std::to_string(width) + "x" + std::to_string(height);
  const std::string mjpeg = base + ".avi";
  if (!std::filesystem::exists(mjpeg)) {
    cv::VideoWriter writer(mjpeg, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kLiveFps,
                           cv::Size(width, height));
    cv::Mat frame(height, width, CV_8UC3);
    cv::RNG random(2);
    for (int i = 0; i < kLiveClipFrames; ++i) {
      // Detail everywhere, moving, as a camera's picture has.
      random.fill(frame, cv::RNG::NORMAL, 128, 30);
      cv::circle(frame, cv::Point((i * 13) % width, height / 2), height / 5,
                 cv::Scalar(40, 90, 200), -1);
      drawNumber(frame, i);
      writer.write(frame);
    }
  }
  if (!h264) return mjpeg;
  const std::string ts = base + ".ts";
  if (!std::filesystem::exists(ts)) {
    const std::string command =
        "ffmpeg -loglevel error -y -stream_loop 6 -i " + mjpeg +
        " -c:v libx264 -preset veryfast -b:v 8M -g 30 -bf 0 -pix_fmt yuv420p " + ts;
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "bench: cannot make %s\n", ts.c_str());
      std::exit(1);
    }
  }
  return ts;
}

// The server, run as a child process of the benchmark (the viewer's side stays one thread):
// frame k leaves at k / fps after the client connects, and its send time is noted in a file
// that both processes map. MJPEG goes out as multipart parts; MPEG-TS as the bytes of each
// frame's transport packets, cut where a video packet starts a new frame.
constexpr int kMaxNotes = 30 * 600;

std::vector<std::vector<unsigned char>> loadChunks(const std::string& clip, bool ts) {
  std::vector<std::vector<unsigned char>> chunks;
  if (!ts) {
    cv::VideoCapture video(clip, cv::CAP_FFMPEG, {cv::CAP_PROP_FORMAT, -1});
    cv::Mat packet;
    while (video.grab() && video.retrieve(packet)) {
      chunks.emplace_back(packet.data, packet.data + packet.total());
    }
    return chunks;
  }
  std::ifstream file(clip, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  chunks.emplace_back();
  // One chunk a frame, however small the frame (a plain red one is), so that chunk k is frame k.
  bool chunkHasFrame = false;
  for (size_t i = 0; i + 188 <= bytes.size(); i += 188) {
    const int pid = ((bytes[i + 1] & 0x1F) << 8) | bytes[i + 2];
    const bool startsUnit = bytes[i + 1] & 0x40;
    if (pid == 0x100 && startsUnit) {
      if (chunkHasFrame) chunks.emplace_back();
      chunkHasFrame = true;
    }
    chunks.back().insert(chunks.back().end(), bytes.begin() + i, bytes.begin() + i + 188);
  }
  return chunks;
}

double* mapNotes(const std::string& path, bool create) {
  const int fd = open(path.c_str(), create ? O_RDWR | O_CREAT | O_TRUNC : O_RDWR, 0600);
  if (fd < 0 || (create && ftruncate(fd, sizeof(double) * kMaxNotes) != 0)) std::exit(1);
  void* notes =
      mmap(nullptr, sizeof(double) * kMaxNotes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (notes == MAP_FAILED) std::exit(1);
  return static_cast<double*>(notes);
}

bool sendAll(int socket, const void* data, size_t size) {
  return send(socket, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

// How the server sends: MJPEG as HTTP multipart, MPEG-TS over HTTP or over plain TCP, or
// nothing at all after accepting.
enum class ServeMode { mjpeg, ts, tcp, silent };

ServeMode serveMode(const std::string& name) {
  if (name == "ts") return ServeMode::ts;
  if (name == "tcp") return ServeMode::tcp;
  if (name == "silent") return ServeMode::silent;
  return ServeMode::mjpeg;
}

// Sends at `fps`, starting at chunk `from` (a transport stream joined in the middle of a group
// of pictures, say).
int serve(const std::string& clip, int port, const std::string& notesPath, ServeMode mode,
          double fps, size_t from) {
  const bool ts = mode == ServeMode::ts || mode == ServeMode::tcp;
  const auto chunks =
      mode == ServeMode::silent ? std::vector<std::vector<unsigned char>>{} : loadChunks(clip, ts);
  double* notes = mapNotes(notesPath, false);
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if ((chunks.size() <= from && mode != ServeMode::silent) ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0) {
    return 1;
  }
  notes[kMaxNotes - 1] = -1.0;  // listening
  const int client = accept(listener, nullptr, nullptr);
  if (client < 0) return 1;
  if (mode == ServeMode::silent) {
    for (;;) pause();  // until killed
  }
  char request[4096];
  if (mode != ServeMode::tcp && recv(client, request, sizeof request, 0) <= 0) return 1;
  const std::string header =
      ts ? "HTTP/1.0 200 OK\r\nContent-Type: video/mp2t\r\n\r\n"
         : "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=frame\r\n\r\n";
  if (mode != ServeMode::tcp) sendAll(client, header.data(), header.size());
  const auto start = Clock::now();
  // A transport stream is sent once (its timestamps must not jump back); MJPEG loops.
  const size_t count = ts ? chunks.size() - from : static_cast<size_t>(kMaxNotes);
  for (size_t k = 0; k < count && k + 1 < static_cast<size_t>(kMaxNotes); ++k) {
    std::this_thread::sleep_until(start +
                                  std::chrono::microseconds(static_cast<long>(k * 1e6 / fps)));
    const auto& chunk = chunks[(from + k) % chunks.size()];
    notes[k] = clockMs();
    const std::string part =
        "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(chunk.size()) +
        "\r\n\r\n";
    if ((!ts && !sendAll(client, part.data(), part.size())) ||
        !sendAll(client, chunk.data(), chunk.size()) || (!ts && !sendAll(client, "\r\n", 2))) {
      break;
    }
  }
  close(client);
  return 0;
}

std::vector<double> liveDelays;
int lastShownNumber = -1;
const double* liveNotes = nullptr;

void liveDisplay() {
  onDisplay();
  glFinish();
  const int number =
      viewer.capture.reader != nullptr ? readNumber(viewer.capture.reader->frame()) : -1;
  if (viewer.capture.state != SourceState::live || number < 0 || number == lastShownNumber) return;
  lastShownNumber = number;
  // The latest frame with this number that the server has sent.
  const double now = clockMs();
  int latest = -1;
  for (int k = 0; k < kMaxNotes - 1 && liveNotes[k] != 0.0; ++k) {
    if (k % kLiveClipFrames == number) latest = k;
  }
  if (latest >= 0) liveDelays.push_back(now - liveNotes[latest]);
}

// The benchmark again, as a server in a child process (the viewer's side stays one thread),
// with `args` after --serve; returns once it listens.
pid_t startServer(std::vector<std::string> args, double* notes) {
  args.insert(args.begin(), {"/proc/self/exe", "--serve"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t server = 0;
  if (posix_spawn(&server, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "bench: cannot start the stream server\n");
    std::exit(1);
  }
  // The server loads its clip first, and says when it listens.
  for (int attempt = 0; attempt < 600 && notes[kMaxNotes - 1] == 0.0; ++attempt) usleep(100000);
  return server;
}

struct LiveResult {
  Stat delay;
  Stat lastFifth;
  int shown;
};

LiveResult measureLive(const std::string& clip, bool h264, double seconds, int port) {
  const std::string notesPath =
      (std::filesystem::temp_directory_path() / "lumivane-bench" / "notes").string();
  double* notes = mapNotes(notesPath, true);
  liveNotes = notes;
  const pid_t server =
      startServer({clip, std::to_string(port), notesPath, h264 ? "ts" : "mjpeg"}, notes);
  SourceChoice choice;
  choice.kind = SourceKind::stream;
  choice.location = "http://127.0.0.1:" + std::to_string(port) + "/live";
  openSource(viewer.capture, choice, tickMs());
  viewer.lastUploadTick = tickMs();
  liveDelays.clear();
  lastShownNumber = -1;
  loopEnd = Clock::now() +
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  // The event loop as freeglut runs it (events, then the idle handler), kept here so that it
  // can be left and entered again for the next stream.
  glutDisplayFunc(liveDisplay);
  while (Clock::now() < loopEnd) {
    glutMainLoopEvent();
    onIdle();
  }
  glutDisplayFunc(onDisplay);
  releaseSource(viewer.capture);
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  munmap(notes, sizeof(double) * kMaxNotes);
  LiveResult result{};
  result.shown = static_cast<int>(liveDelays.size());
  if (liveDelays.empty()) return result;
  result.delay = summarise(liveDelays);
  // The last fifth of the run against the whole: a delay that grows shows up here.
  std::vector<double> tail(liveDelays.end() - std::max<size_t>(1, liveDelays.size() / 5),
                           liveDelays.end());
  result.lastFifth = summarise(tail);
  return result;
}

// The three frame sizes' stages, one row each.
void printSizeTable(int iterations, const std::string& dir) {
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
}

// --- Holds -----------------------------------------------------------------------------
// Sources that are slow to give a frame, or never give one: the real event loop runs on each
// for a while, every idle call timed. The longest is the longest the window stood still.
struct HoldResult {
  double worstMs = 0.0;
  double firstPictureS = -1.0;  // seconds from the open to the first picture
  double medianMs = 0.0;        // of the calls that uploaded
  int slowCalls = 0;            // calls of 50 ms or more
};

HoldResult measureHold(const SourceChoice& choice, double seconds) {
  const int quiet = dup(2), null = open("/dev/null", O_WRONLY);
  dup2(null, 2);  // the lines about a source that delivers nothing
  const auto opened = Clock::now();
  openSource(viewer.capture, choice, tickMs());
  viewer.lastUploadTick = tickMs();
  HoldResult result;
  const auto end =
      opened + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<double> uploads;
  while (Clock::now() < end) {
    glutMainLoopEvent();
    const std::uint32_t before = viewer.lastUploadTick;
    const auto start = Clock::now();
    onIdle();
    const double ms = msSince(start);
    result.worstMs = std::max(result.worstMs, ms);
    if (ms >= 50.0) ++result.slowCalls;
    if (viewer.lastUploadTick != before) uploads.push_back(ms);
    const SourceState state = viewer.capture.state;
    if (result.firstPictureS < 0.0 &&
        (state == SourceState::live || state == SourceState::returning)) {
      result.firstPictureS = msSince(opened) / 1000.0;
    }
  }
  releaseSource(viewer.capture);
  dup2(quiet, 2);
  close(quiet);
  close(null);
  if (!uploads.empty()) result.medianMs = summarise(uploads).median;
  return result;
}

void measureHolds(double seconds, const std::string& dir) {
  std::printf(
      "| source, %.0f s each | idle call with an upload, median | longest idle call | calls of "
      "50 ms or more | first picture after |\n|---|---|---|---|---|\n",
      seconds);
  const std::string mjpeg = makeNumberedClip(1920, 960, dir, false);
  const std::string ts = makeNumberedClip(1920, 960, dir, true);
  // Key frames 5 s apart; joined at frame 75, 2.5 s before the second one.
  const std::string longGop = dir + "/live-1920x960-gop5.ts";
  if (!std::filesystem::exists(longGop)) {
    const std::string command = "ffmpeg -loglevel error -y -stream_loop 3 -i " + mjpeg +
                                " -c:v libx264 -preset veryfast -b:v 8M -g 150 -keyint_min 150 "
                                "-sc_threshold 0 -bf 0 -pix_fmt yuv420p " +
                                longGop;
    if (std::system(command.c_str()) != 0) std::exit(1);
  }
  const std::string notesPath = dir + "/hold-notes";
  const struct {
    const char* name;
    std::vector<std::string> serve;  // clip, mode, fps, first chunk
    const char* location;            // with PORT for the server's port
    SourceKind kind;
  } cases[] = {
      {"MJPEG camera, 1 fps",
       {mjpeg, "mjpeg", "1"},
       "http://127.0.0.1:PORT/live",
       SourceKind::stream},
      {"MJPEG camera, 5 fps",
       {mjpeg, "mjpeg", "5"},
       "http://127.0.0.1:PORT/live",
       SourceKind::stream},
      {"MJPEG camera, 30 fps",
       {mjpeg, "mjpeg", "30"},
       "http://127.0.0.1:PORT/live",
       SourceKind::stream},
      {"H.264 in MPEG-TS over TCP, 30 fps",
       {ts, "tcp", "30"},
       "tcp://127.0.0.1:PORT",
       SourceKind::stream},
      {"H.264 joined 2.5 s before a key frame",
       {longGop, "tcp", "30", "75"},
       "tcp://127.0.0.1:PORT",
       SourceKind::stream},
      {"server that accepts and never sends",
       {"-", "silent"},
       "http://127.0.0.1:PORT/live",
       SourceKind::stream},
      {"pipeline that never starts",
       {"-", "silent"},
       "tcpclientsrc host=127.0.0.1 port=PORT ! decodebin",
       SourceKind::pipeline},
  };
  int port = 18800;
  for (const auto& c : cases) {
    double* notes = mapNotes(notesPath, true);
    std::vector<std::string> args = {c.serve[0], std::to_string(port), notesPath, c.serve[1]};
    args.insert(args.end(), c.serve.begin() + 2, c.serve.end());
    const pid_t server = startServer(args, notes);
    SourceChoice choice;
    choice.kind = c.kind;
    choice.location = c.location;
    choice.location.replace(choice.location.find("PORT"), 4, std::to_string(port++));
    const HoldResult r = measureHold(choice, seconds);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    munmap(notes, sizeof(double) * kMaxNotes);
    const std::string first =
        r.firstPictureS >= 0.0 ? std::to_string(r.firstPictureS).substr(0, 4) + " s" : "none";
    std::printf("| %s | %.1f ms | %.1f ms | %d | %s |\n", c.name, r.medianMs, r.worstMs,
                r.slowCalls, first.c_str());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 6 && argc <= 8 && std::strcmp(argv[1], "--serve") == 0) {
    return serve(argv[2], std::atoi(argv[3]), argv[4], serveMode(argv[5]),
                 argc >= 7 ? std::atof(argv[6]) : kLiveFps,
                 argc >= 8 ? static_cast<size_t>(std::atol(argv[7])) : 0);
  }
  double seconds = 10.0;
  int iterations = 30;
  std::string sustainedVideo;
  double liveSeconds = 0.0;    // only the live rows, for this long each
  bool layoutsOnly = false;    // only the layout rows and their sustained runs
  double holdSeconds = 0.0;    // only the hold rows, for this long each
  double cameraSeconds = 0.0;  // only the camera's pace, for this long
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--iterations") == 0 && i + 1 < argc)
      iterations = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--video") == 0 && i + 1 < argc) sustainedVideo = argv[++i];
    if (std::strcmp(argv[i], "--live") == 0 && i + 1 < argc) liveSeconds = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--layouts") == 0) layoutsOnly = true;
    if (std::strcmp(argv[i], "--holds") == 0 && i + 1 < argc) holdSeconds = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--camera") == 0 && i + 1 < argc) cameraSeconds = std::atof(argv[++i]);
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
  if (holdSeconds > 0.0) {
    measureHolds(holdSeconds, dir);
    return 0;
  }
  if (cameraSeconds > 0.0) {
    // Camera 7, which scripts/bench.sh --camera provides as the tests' camera at the kernel
    // interface: the pace of uploads and the processor time it costs.
    int uploads = 0, late = 0;
    SourceChoice choice;
    choice.cameraIndex = 7;
    const std::clock_t cpu = std::clock();
    const Stat pace = sustainedPace(choice, cameraSeconds, &uploads, &late);
    std::printf(
        "Sustained, real event loop, camera 7 (%s), for %.0f s: %d uploads; after the first "
        "second, interval median %.1f ms, worst %.1f ms, %d of 70 ms or more; processor %.0f%% "
        "of one core, polling included\n",
        std::getenv("LUMIVANE_FAKE_CAMERA_MODES"), cameraSeconds, uploads, pace.median, pace.worst,
        late, 100.0 * (std::clock() - cpu) / CLOCKS_PER_SEC / cameraSeconds);
    return 0;
  }
  if (liveSeconds > 0.0) {
    std::printf(
        "| live stream | frames shown | delay median / worst | last fifth median / worst |\n");
    std::printf("|---|---|---|---|\n");
    const struct {
      int width, height;
      bool h264;
    } streams[] = {{1920, 960, false}, {3840, 1920, false}, {1920, 960, true}};
    int port = 18700;
    for (const auto& s : streams) {
      const LiveResult r = measureLive(makeNumberedClip(s.width, s.height, dir, s.h264), s.h264,
                                       liveSeconds, port++);
      std::printf("| %s %dx%d, %.0f s | %d | %.0f / %.0f ms | %.0f / %.0f ms |\n",
                  s.h264 ? "H.264 in MPEG-TS" : "MJPEG", s.width, s.height, liveSeconds, r.shown,
                  r.delay.median, r.delay.worst, r.lastFifth.median, r.lastFifth.worst);
      std::fflush(stdout);
    }
    return 0;
  }
  if (!layoutsOnly) printSizeTable(iterations, dir);

  std::printf(
      "| layout | frame | picture | first frame, maps built | reprojection per frame |"
      " processor time per frame |\n|---|---|---|---|---|---|\n");
  for (const LayoutCase& c : layoutCases()) {
    const LayoutResult r = measureLayout(c, iterations);
    std::printf("| %s | %dx%d | %dx%d | %.0f | %.1f / %.1f | %.1f |\n", c.name, c.frame.width,
                c.frame.height, r.picture.width, r.picture.height, r.firstMs, r.perFrame.median,
                r.perFrame.worst, r.cpuMs);
    std::fflush(stdout);
  }
  std::printf("\n(milliseconds, median / worst of %d frames)\n\n", iterations);

  // Decoding and reprojection together at the viewer's pace: 3840 by 1920 MJPEG files, and a
  // 2880 by 1920 one for the cubemap (faces of 960 make a 3840 by 1920 picture).
  if (sustainedVideo.empty()) sustainedVideo = makeVideo(3840, 1920, 30, dir);
  const std::string cubeVideo = makeVideo(2880, 1920, 30, dir);
  const std::vector<LayoutCase> cases = layoutCases();
  for (const int k : {0, 1, 4, 5}) {
    int uploads = 0, late = 0;
    const std::string& video = cases[k].frame.width == 2880 ? cubeVideo : sustainedVideo;
    SourceChoice choice;
    choice.kind = SourceKind::videoFile;
    choice.location = video;
    choice.layout = cases[k].options;
    const Stat pace = sustainedPace(choice, seconds, &uploads, &late);
    std::printf(
        "Sustained, real event loop, %s, %s, for %.0f s: %d uploads; after the first second,"
        " interval median %.1f ms, worst %.1f ms, %d of 70 ms or more; worst in the first"
        " second %.1f ms\n",
        std::filesystem::path(video).filename().c_str(), cases[k].name, seconds, uploads,
        pace.median, pace.worst, late, startupWorst);
    std::fflush(stdout);
  }
  return 0;
}
