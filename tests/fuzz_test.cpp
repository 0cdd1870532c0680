// A seeded mutation fuzzer for the sources: mutated pictures, videos, MJPEG and MPEG-TS streams go
// through the real open, GStreamer's reading, decode, conversion and upload into the texture, and
// the viewer's promises are checked after each input. LUMIVANE_FUZZ_INPUTS and LUMIVANE_FUZZ_SEED
// set the run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "app/app.h"
#include "capture/sources/internal.h"
#include "support/camera_files.h"
#include "support/harness.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

unsigned envNumber(const char* name, unsigned fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

Bytes fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Valid inputs to start from: a baseline and a progressive JPEG, a PNG, an MJPEG AVI, the
// bytes of a multipart MJPEG stream, and H.264 in MPEG-TS, which is served live too.
struct Corpus {
  Bytes jpeg, progressive, png, avi, stream, ts;
};

Corpus makeCorpus() {
  Corpus corpus;
  cv::Mat picture(64, 128, CV_8UC3);
  cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
  cv::imencode(".jpg", picture, corpus.jpeg);
  cv::imencode(".jpg", picture, corpus.progressive, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  cv::imencode(".png", picture, corpus.png);
  corpus.avi = fileBytes(
      writeVideo(scratchDir("fuzz-corpus"), {kRed, kGreen, kBlue, kYellow}, 10.0, 64, 32, true));
  for (int k = 0; k < 12; ++k) {
    Bytes jpeg;
    cv::imencode(".jpg", solidFrame(96, 48, {k * 20, 100, 255 - k * 20}), jpeg);
    const std::string part =
        "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
        "\r\n\r\n";
    corpus.stream.insert(corpus.stream.end(), part.begin(), part.end());
    corpus.stream.insert(corpus.stream.end(), jpeg.begin(), jpeg.end());
    corpus.stream.insert(corpus.stream.end(), {'\r', '\n'});
  }
  const std::string ts = scratchDir("fuzz-corpus") + "/corpus.ts";
  const std::string command =
      "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=64x32:rate=10 "
      "-t 1.2 -c:v libx264 -g 5 -bf 0 -pix_fmt yuv420p -f mpegts " +
      ts;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  corpus.ts = fileBytes(ts);
  return corpus;
}

// A few random edits: bit flips, telling values (sizes, markers), cut, repeated or deleted
// stretches, and for streams, part lengths that lie.
Bytes mutate(Bytes data, std::mt19937& random) {
  const int edits = 1 + static_cast<int>(random() % 6);
  const unsigned char telling[] = {0x00, 0xFF, 0x7F, 0x80, 0xD8, 0xD9, 0xC0, 0xDA};
  for (int e = 0; e < edits && data.size() > 4; ++e) {
    const size_t at = random() % data.size();
    switch (random() % 7) {
      case 0:
        data[at] ^= static_cast<unsigned char>(1u << (random() % 8));
        break;
      case 1:
        data[at] = telling[random() % sizeof telling];
        break;
      case 2:  // a 16-bit size, as JPEG's frame header holds them
        if (at + 1 < data.size()) data[at] = data[at + 1] = (random() % 2) ? 0xFF : 0x00;
        break;
      case 3:
        data.resize(at);
        break;
      case 4: {
        const size_t length = std::min<size_t>(random() % 512, data.size() - at);
        data.erase(data.begin() + at, data.begin() + at + length);
        break;
      }
      case 5: {
        const size_t length = std::min<size_t>(random() % 512, data.size() - at);
        Bytes copy(data.begin() + at, data.begin() + at + length);
        data.insert(data.begin() + random() % data.size(), copy.begin(), copy.end());
        break;
      }
      case 6: {
        static const char* lengths[] = {"0", "-1", "2147483648", "99999999999", "17"};
        const std::string key = "Content-Length: ";
        auto found = std::search(data.begin() + at, data.end(), key.begin(), key.end());
        if (found != data.end()) {
          const std::string value = lengths[random() % 5];
          std::copy(value.begin(), value.end(), found + key.size());
        }
        break;
      }
    }
  }
  return data;
}

// Serves `bytes` once as an MJPEG-over-HTTP answer (or MPEG-TS), in small pieces over about half a
// second, then goes away, so that retries are refused at once. (A server that accepts and never
// answers holds an open for its 2 s time-out; the stream tests cover that.)
class OneShotServer {
 public:
  OneShotServer(Bytes bytes, bool ts) : bytes_(std::move(bytes)), ts_(ts) {
    listener_ = listenOnLoopback(4, &port_);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + (ts_ ? "/f.ts" : "/f.mjpg");
  }

 private:
  void serve() {
    const int client = accept(listener_, nullptr, nullptr);
    shutdown(listener_, SHUT_RDWR);
    if (client < 0) return;
    char request[2048];
    recv(client, request, sizeof request, 0);
    const std::string header = std::string("HTTP/1.0 200 OK\r\nContent-Type: ") +
                               (ts_ ? "video/mp2t" : "multipart/x-mixed-replace; boundary=frame") +
                               "\r\n\r\n";
    send(client, header.data(), header.size(), MSG_NOSIGNAL);
    const size_t piece = bytes_.size() / 12 + 1;
    for (size_t at = 0; at < bytes_.size(); at += piece) {
      if (send(client, bytes_.data() + at, std::min(piece, bytes_.size() - at), MSG_NOSIGNAL) < 0)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    close(client);
  }

  Bytes bytes_;
  bool ts_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

struct Outcome {
  double worstCallMs = 0.0;
  std::string err;
};

// Opens the source and runs the idle handler (grab, decode, convert, upload) as the viewer would.
Outcome run(const SourceChoice& choice, int idleCalls) {
  Outcome outcome;
  ::testing::internal::CaptureStderr();
  auto timed = [&](auto&& call) {
    const auto start = Clock::now();
    call();
    outcome.worstCallMs =
        std::max(outcome.worstCallMs,
                 std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  };
  timed([&] { openSource(viewer.capture, choice, fakeNow); });
  viewer.lastUploadTick = fakeNow;
  for (int i = 0; i < idleCalls; ++i) {
    fakeNow += 700;  // every call uploads, and a lost source is retried now and then
    // GStreamer's threads read and decode meanwhile, as they do between idle calls.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    timed([] { onIdle(); });
  }
  releaseSource(viewer.capture);
  outcome.err = ::testing::internal::GetCapturedStderr();
  return outcome;
}

// Every line ours, none repeated: one line per incident.
::testing::AssertionResult onlyOurLines(const std::string& err) {
  std::istringstream lines(err);
  std::set<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("lumivane: ", 0) != 0)
      return ::testing::AssertionFailure() << "not ours: " << line;
    if (!seen.insert(line).second) return ::testing::AssertionFailure() << "repeated: " << line;
  }
  return ::testing::AssertionSuccess();
}

using Fuzz = GlTest;

// LUMIVANE_FUZZ_INPUTS=5000 for a long run.
TEST_F(Fuzz, MutatedPicturesVideosAndStreamsKeepTheViewersPromises) {
  const unsigned seed = envNumber("LUMIVANE_FUZZ_SEED", 1);
  const unsigned inputs = envNumber("LUMIVANE_FUZZ_INPUTS", 120);
  const Corpus corpus = makeCorpus();
  const std::string dir = scratchDir("fuzz");
  std::mt19937 random(seed);
  for (unsigned n = 0; n < inputs; ++n) {
    const int kind = static_cast<int>(random() % 6);
    const Bytes* original[] = {&corpus.jpeg, &corpus.progressive, &corpus.png,
                               &corpus.avi,  &corpus.stream,      &corpus.ts};
    const Bytes input = mutate(*original[kind], random);
    const char* names[] = {"jpeg", "progressive", "png", "avi", "stream", "ts"};
    // The input is kept until it has passed, so that a failure can be replayed.
    const std::string path = dir + "/input-" + names[kind];
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), static_cast<long>(input.size()));
    SourceChoice choice;
    Outcome outcome;
    if (kind >= 4) {
      OneShotServer server(input, kind == 5);
      choice.kind = SourceKind::stream;
      choice.location = server.url();
      outcome = run(choice, 8);
    } else {
      choice.kind = SourceKind::videoFile;
      choice.location = path;
      outcome = run(choice, 6);
    }
    const std::string where = "seed " + std::to_string(seed) + ", input " + std::to_string(n) +
                              " (" + names[kind] + ", kept in " + path + ")";
    EXPECT_LT(outcome.worstCallMs, 1500.0) << where;
    EXPECT_TRUE(onlyOurLines(outcome.err)) << where << "\n" << outcome.err;
    if (HasFailure()) break;
  }
  // Peak memory means nothing under AddressSanitizer, whose quarantine keeps freed blocks.
#ifndef __SANITIZE_ADDRESS__
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 1024L * 1024) << "peak resident KiB";
#endif
}

// Mutated Insta360 trailers through the checker, each in a buffer of exactly its size, so that
// AddressSanitizer sees any read outside it. The magic alone says whether one is there.
TEST_F(Fuzz, MutatedInsvTrailersAreReadInBounds) {
  const std::string file = std::string(16, 'v') + insvTrailer();
  std::mt19937 random(envNumber("LUMIVANE_FUZZ_SEED", 1));
  for (unsigned n = 0; n < 100 * envNumber("LUMIVANE_FUZZ_INPUTS", 120) && !HasFailure(); ++n) {
    const Bytes mutated = mutate(Bytes(file.begin(), file.end()), random);
    const auto input = std::make_unique<unsigned char[]>(mutated.size());
    std::copy(mutated.begin(), mutated.end(), input.get());
    const bool magic =
        mutated.size() >= 32 && std::equal(file.end() - 32, file.end(), mutated.end() - 32);
    EXPECT_EQ(checkInsvTrailer(input.get(), mutated.size(), mutated.size()) != InsvTrailer::absent,
              magic)
        << "input " << n;
    const size_t end = std::min<size_t>(mutated.size(), 72);  // a file's end, read first
    checkInsvTrailer(input.get() + mutated.size() - end, end, mutated.size());
  }
}

}  // namespace
