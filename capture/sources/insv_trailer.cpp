// The trailer an Insta360 camera appends to its files, read only far enough to tell such a file
// apart. A file is untrusted input: every size it states is checked before it is used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "capture/sources/internal.h"

namespace {

constexpr std::uint64_t kEndBytes = 72;    // 32 reserved, trailer size, version, magic
constexpr std::uint64_t kFooterBytes = 6;  // format, id, payload size
// Real trailers hold a dozen or two; a lying one must not make the walk long.
constexpr int kMaxRecords = 4096;
constexpr char kMagic[] = "8db42d694ccc418790edff439fe026bf";

std::uint64_t readU32(const unsigned char* at) {
  return std::uint64_t{at[0]} | std::uint64_t{at[1]} << 8 | std::uint64_t{at[2]} << 16 |
         std::uint64_t{at[3]} << 24;
}

// The last `count` bytes of the file into `bytes`; false on any error or short file.
bool readEnd(int fd, std::uint64_t fileSize, std::uint64_t count,
             std::vector<unsigned char>& bytes) {
  bytes.resize(count);
  for (std::uint64_t done = 0; done < count;) {
    const ssize_t got =
        pread(fd, bytes.data() + done, count - done, static_cast<off_t>(fileSize - count + done));
    if (got <= 0) return false;
    done += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

InsvTrailer checkInsvTrailer(const unsigned char* tail, std::size_t size, std::uint64_t fileSize) {
  if (size < 32 || std::memcmp(tail + size - 32, kMagic, 32) != 0) return InsvTrailer::absent;
  if (size < kEndBytes) return InsvTrailer::damaged;
  const std::uint64_t trailerSize = readU32(tail + size - 40);
  if (trailerSize < kEndBytes || trailerSize > fileSize || trailerSize > size) {
    return InsvTrailer::damaged;
  }
  // Offsets into `tail`: the trailer's start, and the end of the next record's footer.
  const std::uint64_t start = size - trailerSize;
  std::uint64_t at = size - kEndBytes;
  for (int n = 0; n < kMaxRecords && at > start; ++n) {
    if (at - start < kFooterBytes) return InsvTrailer::damaged;
    const unsigned char* footer = tail + at - kFooterBytes;
    const std::uint64_t payload = readU32(footer + 2);
    if (footer[0] > 2 || payload > at - kFooterBytes - start) return InsvTrailer::damaged;
    at -= kFooterBytes + payload;  // at least the footer, so the walk always ends
  }
  return at == start ? InsvTrailer::valid : InsvTrailer::damaged;
}

InsvTrailer readInsvTrailer(const std::string& path) {
  // O_NONBLOCK so that a FIFO given by mistake cannot hold the open; fstat then turns it away.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return InsvTrailer::absent;
  struct stat info {};
  InsvTrailer found = InsvTrailer::absent;
  std::vector<unsigned char> bytes;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    const auto fileSize = static_cast<std::uint64_t>(info.st_size);
    if (readEnd(fd, fileSize, std::min(fileSize, kEndBytes), bytes)) {
      found = checkInsvTrailer(bytes.data(), bytes.size(), fileSize);
    }
    // Most files end in no magic, and are read no further than their last 72 bytes.
    const std::uint64_t trailerSize = bytes.size() == kEndBytes ? readU32(bytes.data() + 32) : 0;
    if (found == InsvTrailer::damaged && trailerSize > kEndBytes &&
        trailerSize <= std::min(fileSize, kInsvTrailerMaxBytes)) {
      found = readEnd(fd, fileSize, trailerSize, bytes)
                  ? checkInsvTrailer(bytes.data(), bytes.size(), fileSize)
                  : InsvTrailer::absent;
    }
  }
  close(fd);
  return found;
}
