// A live network stream served from this process on the loopback interface: an MJPEG camera
// over HTTP, as cheap network cameras serve it, whose frames carry their own number.
#include <arpa/inet.h>
#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "capture/sources/internal.h"
#include "support/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

// Frame k shows k % 16 and k / 16 as two grey levels, side by side, in the middle rows; a
// detailed frame has noise above and below them, which makes it cost what a camera's picture
// costs to decode.
cv::Mat numberedFrame(int k, cv::Size size, bool detailed) {
  cv::Mat frame(size, CV_8UC3);
  if (detailed) cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(255));
  const int half = size.width / 2, band = size.height / 4;
  frame(cv::Rect(0, band, half, 2 * band)).setTo(cv::Scalar::all((k % 16) * 16 + 8));
  frame(cv::Rect(half, band, half, 2 * band)).setTo(cv::Scalar::all((k / 16 % 16) * 16 + 8));
  return frame;
}

int frameNumber(const cv::Mat& frame) {
  const int low = frame.at<cv::Vec3b>(frame.rows / 2, frame.cols / 4)[1] / 16;
  const int high = frame.at<cv::Vec3b>(frame.rows / 2, frame.cols * 3 / 4)[1] / 16;
  return high * 16 + low;
}

// Frames are numbered modulo this; tests stay well within it.
constexpr int kNumbers = 64;

struct ServerOptions {
  double fps = 30.0;
  cv::Size size{160, 120};
  bool detailed = false;
  int silentAfter = -1;  // frames sent before the server goes quiet, keeping the connection
};

// Serves one client a multipart MJPEG stream at `fps` until stopped (or 20 s at most).
class MjpegServer {
 public:
  explicit MjpegServer(ServerOptions options) : options_(options) {
    // Encoded ahead, so that the server's pace does not depend on the encoder's.
    for (int k = 0; k < kNumbers; ++k) {
      cv::imencode(".jpg", numberedFrame(k, options.size, options.detailed), jpegs_[k],
                   {cv::IMWRITE_JPEG_QUALITY, 90});
    }
    listener_ = listenOnLoopback(1, &port_);
    thread_ = std::thread([this] { serve(); });
  }
  ~MjpegServer() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }
  int port() const { return port_; }
  // Number of the frame the camera is showing now.
  int currentFrame() const {
    return static_cast<int>(std::chrono::duration<double>(Clock::now() - start_).count() *
                            options_.fps);
  }

 private:
  void serve() {
    const int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    char request[2048];
    if (recv(client, request, sizeof request, 0) <= 0) {
      close(client);
      return;
    }
    const std::string header =
        "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=frame\r\n\r\n";
    send(client, header.data(), header.size(), MSG_NOSIGNAL);
    start_ = Clock::now();
    const auto end = start_ + std::chrono::seconds(20);
    for (int k = 0; !stop_ && Clock::now() < end; ++k) {
      std::this_thread::sleep_until(
          start_ + std::chrono::microseconds(static_cast<long>(k * 1e6 / options_.fps)));
      if (k == options_.silentAfter) {
        while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        break;
      }
      const std::vector<unsigned char>& jpeg = jpegs_[k % kNumbers];
      const std::string part =
          "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
          "\r\n\r\n";
      if (send(client, part.data(), part.size(), MSG_NOSIGNAL) < 0 ||
          send(client, jpeg.data(), jpeg.size(), MSG_NOSIGNAL) < 0 ||
          send(client, "\r\n", 2, MSG_NOSIGNAL) < 0) {
        break;
      }
    }
    close(client);
  }

  ServerOptions options_;
  std::vector<unsigned char> jpegs_[kNumbers];
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  Clock::time_point start_ = Clock::now();
  std::thread thread_;
};

SourceChoice streamAt(int port) {
  SourceChoice choice;
  choice.kind = SourceKind::stream;
  choice.location = "http://127.0.0.1:" + std::to_string(port) + "/video.mjpg";
  return choice;
}

// Uploads every 60 ms for `seconds`, as the idle handler would: 16.7 a second from a camera that
// sends 30, so a viewer that took frames in order would fall 13 frames a second behind. Returns
// how many frames behind the camera the last one shown was.
int framesBehindAfter(FrameSource& source, const MjpegServer& server, double seconds) {
  int lastShown = -1;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const cv::Mat* frame = nextFrame(source, tickMs());
    if (frame != nullptr) lastShown = frameNumber(*frame);
  }
  if (lastShown < 0) return kNumbers;
  return ((server.currentFrame() - lastShown) % kNumbers + kNumbers) % kNumbers;
}

TEST(Stream, ShowsTheNewestFrameNotAQueuedOne) {
  auto server = std::make_unique<MjpegServer>(ServerOptions{});
  const SourceChoice choice = streamAt(server->port());
  FrameSource source;
  openSource(source, choice, tickMs());
  ASSERT_EQ(source.state, SourceState::connecting) << choice.location;
  EXPECT_LE(framesBehindAfter(source, *server, 2.5), 6);
  EXPECT_EQ(source.state, SourceState::live);

  // The camera goes away: one line, the last picture kept as stale, quiet retries.
  server.reset();
  ::testing::internal::CaptureStderr();
  // Frames already on their way may still come in the first second; none after it.
  const auto quiet = Clock::now() + std::chrono::seconds(1);
  while (waitForFrame(source, std::chrono::duration<double>(quiet - Clock::now()).count()) !=
         nullptr) {
  }
  EXPECT_EQ(waitForFrame(source, 3.5), nullptr);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(source.state, SourceState::stale);
  EXPECT_EQ(err.rfind("lumivane: stream " + choice.location + " stopped delivering frames", 0), 0u)
      << err;
  EXPECT_NE(err.find("; its last picture is shown dimmed, retrying every 2 s\n"), std::string::npos)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST(Stream, KeepsUpWithFramesThatTakeMillisecondsToDecode) {
  // 1920 by 960 with detail everywhere: each frame takes well over 5 ms to decode here.
  ServerOptions options;
  options.size = cv::Size(1920, 960);
  options.detailed = true;
  MjpegServer server(options);
  FrameSource source;
  openSource(source, streamAt(server.port()), tickMs());
  ASSERT_EQ(source.state, SourceState::connecting);
  EXPECT_LE(framesBehindAfter(source, server, 4.0), 6);
}

// Sources that hold back their frames hold no idle call: each is polled as the idle handler
// polls it, and the longest call is what the window would freeze for.
TEST(Stream, OneFrameASecondCameraShowsEachFrameAsItComes) {
  ServerOptions options;
  options.fps = 1.0;
  options.size = cv::Size(160, 80);
  MjpegServer server(options);
  FrameSource source;
  ::testing::internal::CaptureStderr();
  openSource(source, streamAt(server.port()), realMs());
  double worstMs = 0.0;
  int shown = 0;
  const auto end = Clock::now() + std::chrono::milliseconds(3500);
  while (Clock::now() < end) {
    const cv::Mat* frame = waitForFrame(source, 0.06, &worstMs);
    if (frame == nullptr) continue;
    ++shown;
    EXPECT_EQ(frameNumber(*frame), server.currentFrame() % kNumbers) << "not the newest";
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_GE(shown, 3) << "frames sent at 0, 1, 2 and 3 s";
  EXPECT_LT(worstMs, 20.0) << "one call held the window this long";
}

TEST(Stream, SilentServerHoldsNoCallAndIsSaidOnce) {
  // Frames for a second, then nothing, with the connection left open.
  ServerOptions options;
  options.silentAfter = 30;
  options.size = cv::Size(160, 80);
  MjpegServer server(options);
  FrameSource source;
  openSource(source, streamAt(server.port()), realMs());
  ::testing::internal::CaptureStderr();
  double worstMs = 0.0;
  const auto end = Clock::now() + std::chrono::milliseconds(7500);
  while (Clock::now() < end && source.state != SourceState::stale) {
    waitForFrame(source, 0.06, &worstMs);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_LT(worstMs, 20.0) << "one call held the window this long";
  EXPECT_EQ(source.state, SourceState::stale);
  EXPECT_EQ(err, "lumivane: stream " + streamAt(server.port()).location +
                     " stopped delivering frames; its last picture is shown dimmed, retrying "
                     "every 2 s\n");
}

TEST(Stream, ServerThatNeverAnswersHoldsNoCall) {
  // A listening socket that nobody serves: the connection is made, no answer ever comes.
  int port = 0;
  const int listener = listenOnLoopback(4, &port);
  ASSERT_GE(listener, 0);
  SourceChoice choice;
  choice.kind = SourceKind::stream;
  choice.location = "http://127.0.0.1:" + std::to_string(port) + "/live";

  FrameSource source;
  ::testing::internal::CaptureStderr();
  const std::uint32_t opened = realMs();
  double worstMs = 0.0;
  openSource(source, choice, opened);
  EXPECT_EQ(waitForFrame(source, 1.0, &worstMs), nullptr);
  EXPECT_EQ(source.state, SourceState::connecting) << "no frame yet is no failure yet";
  // The first frame is waited for without holding any call, and given up after 10 s.
  EXPECT_EQ(nextFrame(source, opened + kFirstFrameTimeoutMs), nullptr);
  const std::string err = ::testing::internal::GetCapturedStderr();
  close(listener);
  EXPECT_LT(worstMs, 20.0) << "one call held the window this long";
  EXPECT_EQ(source.state, SourceState::missing);
  EXPECT_EQ(err, "lumivane: stream " + choice.location +
                     " delivers no frames in 10 s; showing the test card, retrying every 2 s\n");
}

// Serves one client an MPEG-TS file over plain TCP as a live encoder sends it: each picture's
// packets (from one video PES that starts with an access unit delimiter to the next) at its
// time, `fps` a second.
class TsServer {
 public:
  TsServer(const std::string& path, double fps) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    bool hasPicture = false;
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
      const char* packet = bytes.data() + at;
      const int payload = (packet[3] & 0x20) != 0 ? 5 + static_cast<unsigned char>(packet[4]) : 4;
      bool pesStart = (packet[1] & 0x40) != 0 && payload + 9 <= 188 &&
                      std::equal(packet + payload, packet + payload + 4, "\0\0\1\xE0");
      const int es = pesStart ? payload + 9 + static_cast<unsigned char>(packet[payload + 8]) : 0;
      pesStart =
          pesStart && es + 5 <= 188 && std::equal(packet + es, packet + es + 5, "\0\0\0\1\x09");
      // The tables before the first picture go with it.
      if (pictures_.empty() || (pesStart && hasPicture)) pictures_.emplace_back();
      hasPicture = hasPicture || pesStart;
      pictures_.back().insert(pictures_.back().end(), packet, packet + 188);
    }
    listener_ = listenOnLoopback(1, &port_);
    thread_ = std::thread([this, fps] {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      const auto start = Clock::now();
      for (size_t k = 0; k < pictures_.size() && !stop_; ++k) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(k / fps));
        if (send(client, pictures_[k].data(), pictures_[k].size(), MSG_NOSIGNAL) < 0) break;
        lastSent_ = Clock::now();
        sent_ = static_cast<int>(k + 1);
      }
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      close(client);
    });
  }
  ~TsServer() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }
  int port() const { return port_; }
  // Pictures sent so far, and when the last went.
  int sent() const { return sent_; }
  Clock::time_point lastSent() const { return lastSent_; }

 private:
  std::vector<std::vector<char>> pictures_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::atomic<Clock::time_point> lastSent_{Clock::now()};
  std::thread thread_;
};

SourceChoice tcpAt(int port) {
  SourceChoice choice;
  choice.kind = SourceKind::stream;
  choice.location = "tcp://127.0.0.1:" + std::to_string(port);
  return choice;
}

// A picture's packets end only where the next picture's begin, so the demuxer hands a picture
// on once the next starts arriving, and nothing may hold it longer (the parser did, for want
// of knowing that the packets held a whole picture, and the decoder's frame threads did, for
// tcp://). The same when each slice has packets of its own, as GStreamer's muxer writes them:
// then only the last slice may be taken as ending a picture, or a part of one shows.
TEST(Stream, H264InMpegTsIsShownWholeOnceTheNextPictureStarts) {
  const std::string dir = scratchDir("ts-numbers");
  std::vector<cv::Mat> frames;
  {
    std::ofstream raw(dir + "/frames.bgr", std::ios::binary);
    for (int k = 0; k < 12; ++k) {
      frames.push_back(numberedFrame(k, cv::Size(160, 80), true));
      raw.write(reinterpret_cast<const char*>(frames[k].data),
                static_cast<long>(frames[k].total() * 3));
    }
  }
  // Each picture in a PES of its own; each slice in one; constant bit rate, whose pictures end
  // with filler.
  const std::string encode =
      "ffmpeg -loglevel error -y -f rawvideo -pix_fmt bgr24 -s 160x80 "
      "-r 2 -i " +
      dir +
      "/frames.bgr -c:v libx264 -g 4 -bf 0 "
      "-pix_fmt yuv420p -f mpegts ";
  const std::string command =
      encode + "-x264-params slices=4 -qp 12 " + dir + "/pictures.ts && " + encode +
      "-x264-params nal-hrd=cbr -b:v 400k -minrate 400k -maxrate 400k -bufsize 200k " + dir +
      "/filler.ts && gst-launch-1.0 -q filesrc location=" + dir +
      "/pictures.ts ! tsdemux ! h264parse ! video/x-h264,alignment=nal ! mpegtsmux ! "
      "filesink location=" +
      dir + "/slices.ts";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  for (const char* file : {"pictures.ts", "slices.ts", "filler.ts"}) {
    SCOPED_TRACE(file);
    TsServer server(dir + "/" + file, 2.0);
    FrameSource source;
    ::testing::internal::CaptureStderr();
    openSource(source, tcpAt(server.port()), realMs());
    int shown = -1, checked = 0;
    double worstError = 0.0;
    const auto end = Clock::now() + std::chrono::milliseconds(5500);
    while (Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      const cv::Mat* frame = nextFrame(source, realMs());
      if (frame != nullptr) {
        shown = frameNumber(*frame);
        ASSERT_TRUE(shown >= 0 && shown < 12 && frame->size() == frames[shown].size());
        // In grey: the noise's colours do not survive the encoder's half-size chroma.
        cv::Mat grey, expected;
        cv::cvtColor(*frame, grey, cv::COLOR_BGR2GRAY);
        cv::cvtColor(frames[shown], expected, cv::COLOR_BGR2GRAY);
        worstError = std::max(
            worstError, cv::norm(grey, expected, cv::NORM_L1) / static_cast<double>(grey.total()));
      }
      // Well after a picture went, and before the next: the one before it must be showing.
      const int sent = server.sent();
      if (sent >= 4 && Clock::now() - server.lastSent() > std::chrono::milliseconds(250)) {
        EXPECT_EQ(shown, sent - 2) << "with " << sent << " pictures sent";
        ++checked;
      }
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_GE(checked, 6);
    EXPECT_LT(worstError, 8.0) << "a picture shown in part";
  }
}

TEST(Stream, H264JoinedMidGopShowsAtItsNextKeyFrameWithoutALine) {
  // H.264 in MPEG-TS with a key frame every 5 s, joined 2.5 s before the second one.
  const std::string dir = scratchDir("gop");
  const std::string command =
      "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=320x160:rate=30 -t 10 -c:v libx264 "
      "-g 150 -keyint_min 150 -sc_threshold 0 -bf 0 -b:v 300k -maxrate 300k -bufsize 300k "
      "-pix_fmt yuv420p -f mpegts " +
      dir + "/gop.ts && ffmpeg -loglevel error -y -i " + dir +
      "/gop.ts -ss 2.5 -c copy -copyinkf -f mpegts " + dir + "/cut.ts";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  TsServer server(dir + "/cut.ts", 30.0);
  const SourceChoice choice = tcpAt(server.port());
  FrameSource source;
  ::testing::internal::CaptureStderr();
  const auto start = Clock::now();
  openSource(source, choice, realMs());
  double worstMs = 0.0;
  const cv::Mat* frame = waitForFrame(source, 6.0, &worstMs);
  const double firstS = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->size(), cv::Size(320, 160));
  EXPECT_GT(firstS, 1.5) << "a picture before the key frame is a broken one";
  EXPECT_LT(worstMs, 20.0) << "one call held the window this long";
  EXPECT_EQ(source.state, SourceState::live);
}

// Two pictures that decode slower than their clock (20 a second of 30) stay on it by skipping
// ahead together: each branch passes the compositor the same pictures, so no frame joins two
// instants, and the last one shown is less than half a second behind.
TEST(Stream, JoinedPicturesThatFallBehindSkipAheadTogether) {
  ASSERT_TRUE(gst_init_check(nullptr, nullptr, nullptr));
  std::string description =
      "compositor name=lumivane_join ! appsink name=sink drop=true max-buffers=1";
  for (const std::string i : {"0", "1"}) {
    description +=
        " videotestsrc ! video/x-raw,width=64,height=32,framerate=30/1 ! queue name="
        "lumivane_queue" +
        i + " ! identity sleep-time=50000 ! lumivane_join.sink_" + i;
  }
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  std::vector<double> keys;  // raw pictures are all key frames; skips land on half seconds
  for (int k = 0; k < 60; ++k) keys.push_back(k / 2.0);
  keepJoinedOnClock(pipeline, keys);
  static std::mutex lock;  // the branches' threads record what reaches the compositor
  static std::vector<GstClockTime> passed[2];
  GstElement* join = gst_bin_get_by_name(GST_BIN(pipeline), "lumivane_join");
  for (const char* name : {"sink_0", "sink_1"}) {
    GstPad* pad = gst_element_get_static_pad(join, name);
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad* p, GstPadProbeInfo* info, gpointer) {
          const std::lock_guard<std::mutex> hold(lock);
          passed[GST_PAD_NAME(p)[5] == '1'].push_back(
              GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)));
          return GST_PAD_PROBE_OK;
        },
        nullptr, nullptr);
    gst_object_unref(pad);
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  std::this_thread::sleep_for(std::chrono::seconds(4));
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstSample* last = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND);
  ASSERT_NE(last, nullptr);
  GstClock* clock = gst_element_get_clock(pipeline);
  EXPECT_LT(gst_clock_get_time(clock) - gst_element_get_base_time(pipeline),
            GST_BUFFER_PTS(gst_sample_get_buffer(last)) + GST_SECOND / 2);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  for (GstObject* object :
       {GST_OBJECT(clock), GST_OBJECT(sink), GST_OBJECT(join), GST_OBJECT(pipeline)})
    gst_object_unref(object);
  gst_sample_unref(last);
  const std::size_t both = std::min(passed[0].size(), passed[1].size());
  EXPECT_LT(both, 100u) << "nothing was skipped";
  EXPECT_TRUE(std::equal(passed[0].begin(), passed[0].begin() + both, passed[1].begin()))
      << "the two branches passed different pictures";
}

// A file's pictures handed over in their own layout are decoded where the viewer reads them.
// Each holds the file's colours in every plane, the top rows of its chroma included, and stays
// as it was while the viewer keeps it, however many pictures are decoded after it.
TEST(Stream, PicturesDecodedInPlaceAreWholeAndStayWhileKept) {
  // Picture n is grey level 8n (mod 256) on a chroma of (60, 200).
  const std::string file = scratchDir("in-place") + "/levels.mp4";
  const std::string command =
      "ffmpeg -loglevel error -y -f lavfi -i color=s=320x160:r=30 -vf "
      "\"geq=lum='mod(8*N,256)':cb=60:cr=200\" -t 4 -c:v libx264 -qp 0 -bf 0 -pix_fmt yuv420p " +
      file;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  FrameSource source;
  source.wantsPlanes = true;
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = file;
  openSource(source, choice, realMs());
  std::vector<Planes> kept;
  std::vector<int> levels;  // each kept picture's grey as it was handed over
  const auto end = Clock::now() + std::chrono::seconds(3);
  while (Clock::now() < end) {
    const Shown shown = nextShown(source, realMs());
    if (shown.planes != nullptr && kept.size() < 3) {
      kept.push_back(*shown.planes);
      levels.push_back(shown.planes->data[0][0]);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kept.size() < 3 ? 5 : 100));
  }
  ASSERT_EQ(kept.size(), 3u);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const Planes& p = kept[k];
    ASSERT_EQ(p.layout, PixelLayout::i420);
    // The decoder's own rows, padded as FFmpeg wants them: not a copy into rows of the width.
    EXPECT_GT(p.stride[0], 320);
    const int luma = levels[k];
    EXPECT_EQ(luma % 8, 0);
    for (int plane = 0; plane < 3; ++plane) {
      const int want = plane == 0 ? luma : plane == 1 ? 60 : 200;
      const int across = plane == 0 ? 320 : 160, down = plane == 0 ? 160 : 80;
      for (const int y : {0, down / 2, down - 1}) {
        for (const int x : {0, across - 1}) {
          EXPECT_EQ(p.data[plane][y * p.stride[plane] + x], want) << plane << " " << x << "," << y;
        }
      }
    }
  }
  EXPECT_NE(levels[0], levels[2]) << "the file did not play on";
  releaseSource(source);
}

}  // namespace
