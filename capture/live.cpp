// Live streams at their newest frame: what has already arrived is read and dropped, so the
// picture stays as close to now as the network allows, whatever the frame size.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "capture/source_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

// A compressed packet that is already waiting is read in well under a millisecond; one that
// has to come over the network takes about a frame period. Anything slower than this waited.
constexpr double kPacketWaitMs = 4.0;
// Reading and dropping stops after this long, whatever is left, so that one upload cannot
// hold the window for long.
constexpr double kMaxDrainMs = 40.0;
// A stream decoded in order counts as at its edge when its newest frame is this close to the
// earliest it could have been shown.
constexpr double kLiveSlackMs = 70.0;
// Further behind than this, such a stream gets this long an upload to catch up: decoding that
// only just keeps pace would otherwise never work off a backlog (what arrived while the window
// opened, say), and the delay would stay.
constexpr double kCatchUpFromMs = 250.0;
constexpr double kMaxCatchUpMs = 150.0;
// Further behind than this, and the decoder cannot keep up: the stream is opened afresh,
// which starts at its newest frames. Better a jump than a delay that grows without end.
constexpr double kMaxBehindMs = 1500.0;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// MJPEG: packets are dropped undecoded until one has to wait for the network; that one is the
// newest, and the only one decoded. (The rate a stream announces, 25 fps for MJPEG over HTTP,
// is often a guess, so it cannot say how many to drop.)
bool drainPackets(FrameSource& source, bool* fresh) {
  const auto started = Clock::now();
  for (;;) {
    const auto before = Clock::now();
    if (!grabOne(source)) return false;
    if (msSince(before) > kPacketWaitMs || msSince(started) > kMaxDrainMs) break;
  }
  *fresh = retrieveOne(source);
  return true;
}

// Other codecs must be decoded in order. How far behind the stream is shows in its timestamps:
// a frame read later after its timestamp than the earliest one was has waited in a queue.
// Frames are decoded and dropped until the stream is at its edge. The first frame cannot have
// been sent before the stream was opened, which takes the frames that opening read ahead (most
// of a second of them) into account.
bool drainDecoded(FrameSource& source, bool* fresh) {
  const double framePeriodMs = 1000.0 / source.fps;
  const auto started = Clock::now();
  double behindMs = 0.0;
  for (;;) {
    const auto before = Clock::now();
    if (!grabOne(source)) return false;
    const double grabMs = msSince(before);
    const double offset = liveClockMs() - source.video.get(cv::CAP_PROP_POS_MSEC);
    // A grab that took two frame periods waited for the network, so its frame is the newest
    // there is: that sets the edge anew, after a stall of the sender. So does a jump in the
    // timestamps (a camera restarting its clock, a server looping its file). The first grab is
    // left out: it also sets the decoder up.
    const bool waited = grabMs > 2.0 * framePeriodMs && source.framesRead > 0;
    const bool jumped = std::abs(offset - source.lastOffsetMs) > kMaxBehindMs;
    source.lastOffsetMs = offset;
    ++source.framesRead;
    if (offset < source.liveOffsetMs || waited || jumped) source.liveOffsetMs = offset;
    behindMs = offset - source.liveOffsetMs;
    const double budgetMs = behindMs > kCatchUpFromMs ? kMaxCatchUpMs : kMaxDrainMs;
    if (behindMs <= kLiveSlackMs || msSince(started) > budgetMs) break;
  }
  if (behindMs > kMaxBehindMs) {
    sayOnce(source.saidBehind, describeSource(source.choice) +
                                   " arrives faster than it can be decoded; jumping ahead to "
                                   "its newest frames when it falls behind");
    source.video.release();
    if (!openCapture(source, 0)) return false;
    if (!grabOne(source)) return false;
  }
  *fresh = retrieveOne(source);
  return true;
}

}  // namespace

bool readNewest(FrameSource& source, bool* fresh) {
  *fresh = false;
  return source.mode == ReadMode::jpegPackets ? drainPackets(source, fresh)
                                              : drainDecoded(source, fresh);
}
