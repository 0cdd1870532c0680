// Hostile and broken input: sizes refused before anything is decoded, damage shown as far as it
// decodes and said once, and nothing from the libraries on the terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "capture/capture.h"
#include "capture/sources/internal.h"
#include "support/camera_files.h"
#include "support/harness.h"

namespace {

SourceChoice fileChoice(const std::string& path) {
  SourceChoice choice;
  choice.kind = SourceKind::videoFile;
  choice.location = path;
  return choice;
}

std::vector<unsigned char> readBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// A small real JPEG whose frame header is made to declare width by height.
std::vector<unsigned char> jpegDeclaring(int width, int height) {
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", solidFrame(16, 16, kBlue), jpeg);
  for (size_t i = 2; i + 9 < jpeg.size(); i += 2 + (jpeg[i + 2] << 8 | jpeg[i + 3])) {
    if (jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = height >> 8, jpeg[i + 6] = height & 0xFF;
      jpeg[i + 7] = width >> 8, jpeg[i + 8] = width & 0xFF;
      break;
    }
  }
  return jpeg;
}

// A JPEG whose header breaks off in an error (here a marker that is none) must not leave the
// decoder broken for every picture after it: a camera's one damaged frame would end its picture
// for good.
TEST(Hostile, OneBrokenHeaderDoesNotBreakTheNextPictures) {
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", solidFrame(64, 32, kBlue), jpeg);
  std::vector<unsigned char> broken = jpeg;
  broken[3] = 0x25;
  cv::Mat picture;
  int width = 0, height = 0;
  EXPECT_EQ(decodePicture(broken.data(), broken.size(), picture, &width, &height),
            DecodeResult::failed);
  ASSERT_EQ(decodePicture(jpeg.data(), jpeg.size(), picture, &width, &height), DecodeResult::ok);
  EXPECT_GT(cv::mean(picture)[0], 200) << "blue, as blue-green-red";
}

TEST(Hostile, SizeLimitAtItsEdge) {
  const std::string dir = scratchDir("limit");
  // 16384 by 8192 is 2^27 pixels: the largest picture shown.
  const std::string largest = dir + "/largest.jpg";
  ASSERT_TRUE(
      cv::imwrite(largest, solidFrame(16384, 8192, kGreen), {cv::IMWRITE_JPEG_QUALITY, 50}));
  FrameSource source;
  openSource(source, fileChoice(largest), 0);
  const cv::Mat* frame = nextFrame(source, 0);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->size(), cv::Size(16384, 8192));
  releaseSource(source);

  // One more row, and the header alone is enough to refuse it; the same for a tiny file that
  // claims 30000 by 30000. One line each says why.
  for (const auto& size : {cv::Size(16384, 8193), cv::Size(30000, 30000)}) {
    const std::string path = dir + "/claims.jpg";
    writeBytes(path, jpegDeclaring(size.width, size.height));
    ::testing::internal::CaptureStderr();
    openSource(source, fileChoice(path), 0);
    EXPECT_EQ(nextFrame(source, 2500), nullptr);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "lumivane: cannot open file " + path + ": it declares " +
                       std::to_string(size.width) + "x" + std::to_string(size.height) +
                       " pixels, more than this viewer shows; showing the test card, retrying "
                       "every 2 s\n");
    EXPECT_EQ(source.state, SourceState::missing);
  }
}

void convert(const std::string& arguments) {
  ASSERT_EQ(std::system(("convert " + arguments).c_str()), 0) << arguments;
}

// Each still was shown or said wrong once: shown as a picture viewer shows it, with at most one
// line, ours, that says why.
TEST(Hostile, StillsShowTrueWithOneLineOfOurs) {
  ASSERT_STREQ(std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS"), "134217728")
      << "run through ctest, which starts the tests with the image library's limit";
  const std::string dir = scratchDir("stills") + "/";
  writeBytes(dir + "lying.bmp", lyingBmp());
  cv::imwrite(dir + "grey16.png", cv::Mat(32, 64, CV_16UC3, cv::Scalar::all(0x8080)));
  // A 2-bit palette, which OpenCV cannot read and says so on std::cerr itself.
  convert(
      "-size 16x8 xc:red -fill blue -draw 'point 1,1' -fill lime -draw 'point 2,2' -alpha off "
      "-type Palette " +
      dir + "palette2.tiff");
  // A panorama stored on its side (red at its top left) with EXIF orientation 6, as a camera
  // held turned writes it.
  cv::Mat stored = solidFrame(32, 64, kBlue);
  stored(cv::Rect(0, 0, 8, 16)).setTo(cv::Scalar(0, 0, 255));
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", stored, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95});
  const std::string exif(
      "\xFF\xE1\0\x22"
      "Exif\0\0MM\0\x2A\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01"
      "\0\x06\0\0\0\0\0\0",
      36);
  jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
  writeBytes(dir + "turned.jpg", jpeg);
  convert(
      "-size 320x160 xc: -seed 1 +noise Random -fill red -draw 'rectangle 0,0 319,39' "
      "-colorspace CMYK " +
      dir + "cmyk.jpg");
  std::vector<unsigned char> cut = readBytes(dir + "cmyk.jpg");
  cut.resize(cut.size() / 2);
  writeBytes(dir + "cut-cmyk.jpg", cut);
  // A local picture whose relative name reads as a URL, and a FIFO that no one writes to.
  mkdir((dir + "http:").c_str(), 0755);
  mkdir((dir + "http:/127.0.0.1:9").c_str(), 0755);
  cv::imwrite(dir + "http:/127.0.0.1:9/x.png", solidFrame(64, 32, kRed));
  mkfifo((dir + "fifo.png").c_str(), 0644);
  // Formats whose metadata reader has no parser: it said so with a null that was read.
  cv::imwrite(dir + "red.ppm", solidFrame(64, 32, kRed));
  writeBytes(dir + "text.bmp", {'B', 'M', ' ', 't', 'e', 'x', 't', '\n'});
  const struct {
    const char* name;
    const char* line;    // after "lumivane: ", with @ for the file; empty when none is due
    cv::Size size = {};  // of the picture shown; empty when none is
    cv::Point at = {};   // where it shows `colour`
    Rgb colour = kBlack;
  } cases[] = {
      {"lying.bmp", "cannot open file @: it declares more pixels than this viewer shows"},
      {"grey16.png", "", {64, 32}, {32, 16}, {128, 128, 128}},
      {"palette2.tiff", "cannot open file @: not a picture the viewer can decode"},
      {"turned.jpg", "", {64, 32}, {58, 4}, kRed},
      {"cut-cmyk.jpg",
       "file @ has damaged pictures; shown as far as they decode",
       {320, 160},
       {160, 20},
       kRed},
      {"http://127.0.0.1:9/x.png", "", {64, 32}, {32, 16}, kRed},
      {"fifo.png", "cannot open file @: not a regular file"},
      {"red.ppm", "", {64, 32}, {32, 16}, kRed},
      {"text.bmp", "cannot open file @: not a picture the viewer can decode"},
  };
  // Names relative to the folder, as typed in it.
  char* const home = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  for (const auto& still : cases) {
    const std::string path = still.name;
    FrameSource source;
    ::testing::internal::CaptureStderr();
    openSource(source, fileChoice(path), 0);
    const cv::Mat* frame = nextFrame(source, 0);
    std::string line = still.line;
    if (still.size.empty()) line += "; showing the test card, retrying every 2 s";
    if (!line.empty()) line = "lumivane: " + line.replace(line.find('@'), 1, path) + "\n";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), line) << still.name;
    EXPECT_EQ(frame != nullptr, !still.size.empty()) << still.name;
    if (frame == nullptr || frame->size() != still.size) continue;
    const cv::Vec3b bgr = frame->at<cv::Vec3b>(still.at);
    EXPECT_TRUE(sameColour({bgr[2], bgr[1], bgr[0]}, still.colour, 40)) << still.name << bgr;
  }
  EXPECT_EQ(chdir(home), 0);
  std::free(home);
}

TEST(Hostile, TruncatedPictureShowsWhatDecodesWithOneLineOfOurs) {
  const std::string dir = scratchDir("truncated");
  cv::Mat picture(320, 640, CV_8UC3);
  cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
  picture.rowRange(0, 40).setTo(cv::Scalar(0, 0, 255));
  for (const std::string format : {".jpg", ".png"}) {
    std::vector<unsigned char> bytes;
    cv::imencode(format, picture, bytes);
    bytes.resize(bytes.size() / 2);  // a download cut off half way
    const std::string path = dir + "/cut" + format;
    writeBytes(path, bytes);
    FrameSource source;
    ::testing::internal::CaptureStderr();
    openSource(source, fileChoice(path), 0);
    const cv::Mat* frame = nextFrame(source, 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(frame, nullptr) << format;
    EXPECT_EQ(frame->size(), picture.size());
    const cv::Vec3b top = frame->at<cv::Vec3b>(20, 320);
    EXPECT_TRUE(sameColour(cv::Vec3b(top[2], top[1], top[0]), kRed, 40)) << "the part that arrived";
    EXPECT_EQ(err,
              "lumivane: file " + path + " has damaged pictures; shown as far as they decode\n");
  }
}

TEST(Hostile, DamagedStretchOfAVideoIsSkipped) {
  std::vector<Rgb> colours;
  for (int i = 0; i < 40; ++i) colours.push_back(i < 20 ? kRed : kGreen);
  const std::string path = writeVideo(scratchDir("damaged"), colours, 10.0, 64, 32, true);
  std::vector<unsigned char> bytes = readBytes(path);
  // Garbage over about a tenth of the file, a third of the way in.
  for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + bytes.size() / 10; ++i) {
    bytes[i] = static_cast<unsigned char>(i * 37);
  }
  writeBytes(path, bytes);
  FrameSource source;
  ::testing::internal::CaptureStderr();
  openSource(source, fileChoice(path), realMs());
  // 4 s of a 4 s file, at the upload pace: playback goes on past the damage.
  int shown = 0, green = 0;
  ASSERT_NE(waitForFrame(source, 5.0), nullptr);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (std::chrono::steady_clock::now() < end) {
    const cv::Mat* frame = waitForFrame(source, 0.06);
    if (frame == nullptr) continue;
    ++shown;
    const cv::Vec3b centre = frame->at<cv::Vec3b>(16, 32);
    if (sameColour(cv::Vec3b(centre[2], centre[1], centre[0]), kGreen, 60)) ++green;
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_GE(green, 10) << "playback did not go on past the damage";
  EXPECT_GE(shown, 30);
  EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(source.state, SourceState::live) << err;
}

// An Insta360 trailer only tells such a file apart: one that lies about a size or a format is
// damaged, and is read no further than the bytes at hand.
TEST(Hostile, InsvTrailersThatLieAreDamagedAndReadInBounds) {
  const std::string file = std::string(16, 'v') + insvTrailer();
  const struct {
    const char* name;
    size_t at;       // where `value` goes (little-endian, `width` bytes), back from the end
    uint32_t value;
    int width;
    size_t keep;  // the file's last bytes kept as the whole file, 0 for all
    InsvTrailer expected;
  } cases[] = {
      {"two records", 0, 0, 0, 0, InsvTrailer::valid},
      {"no magic", 1, 'x', 1, 0, InsvTrailer::absent},
      {"trailer larger than the file", 40, 116, 4, 0, InsvTrailer::damaged},
      {"record past the trailer's start", 87, 11, 4, 0, InsvTrailer::damaged},
      {"unknown format", 78, 3, 1, 0, InsvTrailer::damaged},
      {"record of 0xFFFFFFFF bytes", 76, 0xFFFFFFFF, 4, 0, InsvTrailer::damaged},
      {"36 bytes ending in the magic", 0, 0, 0, 36, InsvTrailer::damaged},
      {"20 bytes, the magic's last", 0, 0, 0, 20, InsvTrailer::absent},
  };
  const std::string path = scratchDir("insv") + "/trailer.insv";
  for (const auto& row : cases) {
    std::vector<unsigned char> bytes(file.end() - (row.keep ? row.keep : file.size()), file.end());
    for (int i = 0; i < row.width; ++i) {
      bytes[bytes.size() - row.at + i] = static_cast<unsigned char>(row.value >> (8 * i));
    }
    EXPECT_EQ(checkInsvTrailer(bytes.data(), bytes.size(), bytes.size()), row.expected) << row.name;
    writeBytes(path, bytes);
    EXPECT_EQ(readInsvTrailer(path), row.expected) << row.name << ", read from a file";
  }
}

}  // namespace
