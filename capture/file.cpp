// Video files played on their own clock: the frames that fall between two uploads are skipped
// (undecoded, for MJPEG), a damaged stretch is stepped over, and the end starts the file over.
#include <string>

#include "capture/source_internal.h"

namespace {

// How far past a frame that cannot be read the file is searched for one that can.
constexpr std::int64_t kMaxDamageSkip = 256;

// Starts the file over from its first frame.
bool rewind(FrameSource& source, std::uint32_t now) {
  if (!source.video.set(cv::CAP_PROP_POS_FRAMES, 0) && !openCapture(source, now)) return false;
  source.playStartTick = now;
  source.framesRead = 0;
  return true;
}

// A read failed before the file's real end: looks for the next frame that can be read, further
// and further ahead, and goes on from there.
bool skipDamage(FrameSource& source) {
  const std::int64_t from = source.framesRead;
  for (std::int64_t step = 1; step <= kMaxDamageSkip && from + step < source.frameCount;
       step *= 2) {
    if (source.video.set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(from + step)) &&
        grabOne(source)) {
      sayOnce(source.saidDamaged, describeSource(source.choice) + " is damaged near frame " +
                                      std::to_string(from) + "; skipping what cannot be read");
      source.framesRead = from + step + 1;
      return true;
    }
  }
  return false;
}

// Reads the next frame (or packet) in order and counts it, stepping over damage and starting
// over at the real end (then `restarted` is set). False when not even the start can be read.
bool grabNext(FrameSource& source, std::uint32_t now, bool* restarted) {
  *restarted = false;
  if (grabOne(source)) {
    ++source.framesRead;
    return true;
  }
  // Files whose length is unknown cannot tell damage from their end.
  if (source.frameCount > 0 && source.framesRead + 1 < source.frameCount && skipDamage(source)) {
    return true;
  }
  if (!rewind(source, now) || !grabOne(source)) return false;
  *restarted = true;
  source.framesRead = 1;
  return true;
}

}  // namespace

bool readPaced(FrameSource& source, std::uint32_t now, bool* fresh) {
  *fresh = false;
  const std::uint32_t elapsed = now - source.playStartTick;
  std::int64_t due = static_cast<std::int64_t>(elapsed * source.fps / 1000.0);
  if (source.framesRead > 0 && due < source.framesRead) return true;
  if (due - source.framesRead > kMaxSkippedFrames) {
    // Decoding cannot keep up (or the process was stopped): play on from here.
    due = source.framesRead;
    source.playStartTick = now - static_cast<std::uint32_t>(due * 1000.0 / source.fps);
  }
  // Frames that fall between two uploads are only read; in packet mode that decodes nothing.
  bool restarted = false;
  while (source.framesRead <= due && !restarted) {
    if (!grabNext(source, now, &restarted)) return false;
  }
  *fresh = retrieveOne(source);
  return true;
}
