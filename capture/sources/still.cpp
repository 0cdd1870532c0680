// Still pictures: read and decoded whole at the open, shown once.
#include <fstream>
#include <vector>

#include "capture/sources/internal.h"

namespace {

// A still picture file larger than this is not read into memory.
constexpr std::streamoff kMaxPictureFileBytes = std::streamoff{512} << 20;

class StillReader final : public Reader {
 public:
  StillReader(const SourceChoice& choice, SaidOnce& said) : choice_(choice), said_(said) {}

  bool open() override {
    std::ifstream file(choice_.location, std::ios::binary | std::ios::ate);
    const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
    if (size > kMaxPictureFileBytes) reason_ = "it is larger than 512 MB";
    if (size <= 0 || size > kMaxPictureFileBytes) return false;
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(bytes.data()), size)) return false;
    if (decodeShown(bytes.data(), bytes.size(), choice_, said_, frame_, &reason_)) return true;
    frame_.release();
    return false;
  }

  ReadResult read(std::uint32_t) override {
    if (shown_) return ReadResult::nothingNew;
    shown_ = true;
    return ReadResult::frame;
  }

  std::uint32_t stallLimitMs() const override { return 0; }

 private:
  SourceChoice choice_;
  SaidOnce& said_;
  bool shown_ = false;
};

}  // namespace

std::unique_ptr<Reader> makeStillReader(const SourceChoice& choice, SaidOnce& said) {
  return std::make_unique<StillReader>(choice, said);
}

bool decodeShown(const unsigned char* data, std::size_t size, const SourceChoice& choice,
                 SaidOnce& said, cv::Mat& frame, std::string* failure, bool showDamaged) {
  int width = 0, height = 0;
  const DecodeResult result = decodePicture(data, size, frame, &width, &height);
  if (result == DecodeResult::ok) return true;  // every frame of a healthy source: no more work
  const std::string name = describeSource(choice);
  switch (result) {
    case DecodeResult::ok:
      return true;
    case DecodeResult::damaged:
      if (!showDamaged) {
        sayOnce(said.damaged, name + " sent a damaged picture; such pictures are skipped");
        return false;
      }
      sayOnce(said.damaged, name + " has damaged pictures; shown as far as they decode");
      return true;
    case DecodeResult::tooLarge: {
      // The image library refuses without saying the size.
      const std::string why =
          (width > 0 ? "declares " + std::to_string(width) + "x" + std::to_string(height) +
                           " pixels, more than this viewer shows"
                     : std::string("declares more pixels than this viewer shows"));
      // A still picture's reason goes into the one line that says it cannot be opened.
      if (failure != nullptr) {
        *failure = "it " + why;
      } else {
        sayOnce(said.tooLarge, name + " " + why + "; skipped");
      }
      return false;
    }
    case DecodeResult::failed:
      if (failure != nullptr) {
        *failure = openCvModuleProblem().empty()
                       ? std::string("not a picture the viewer can decode")
                       : openCvModuleProblem();
      } else {
        sayOnce(said.damaged, name + " has pictures that cannot be decoded; skipped");
      }
      return false;
  }
  return false;
}

bool decodeShownPlanes(const unsigned char* data, std::size_t size, const SourceChoice& choice,
                       SaidOnce& said, cv::Mat& storage, Planes& planes, cv::Mat& frame,
                       bool* planar, bool showDamaged) {
  bool laidOut = false;
  const DecodeResult result = decodeJpegPlanes(data, size, storage, &planes, &laidOut);
  *planar = laidOut;
  // Anything else takes the blue-green-red way, which also says what is wrong with it.
  if (!laidOut) return decodeShown(data, size, choice, said, frame, nullptr, showDamaged);
  if (result == DecodeResult::ok) return true;
  const std::string name = describeSource(choice);
  if (!showDamaged) {
    sayOnce(said.damaged, name + " sent a damaged picture; such pictures are skipped");
    return false;
  }
  sayOnce(said.damaged, name + " has damaged pictures; shown as far as they decode");
  return true;
}
