// Shared between the capture room's files, and nowhere else: reading a source's frames and
// the transitions of its state.
#pragma once

#include <cstdint>
#include <string>

#include "capture/capture.h"

// Network reads and opens give up after these: long enough for a slow server, short enough
// that a silent one freezes the window for about a second, not the library's default 30 s.
constexpr int kStreamReadTimeoutMs = 1000;
constexpr int kStreamOpenTimeoutMs = 2000;
// At most this many frames are skipped in one upload: a file that lags more has its clock moved
// instead of being caught up in one burst.
constexpr std::int64_t kMaxSkippedFrames = 8;

// Opens the capture for `source.choice` (a still picture is loaded whole), choosing the read
// mode. False when it cannot be opened.
bool openCapture(FrameSource& source, std::uint32_t now);

// Reads the next compressed packet (jpegPackets) or frame (decoded) without decoding a packet.
bool grabOne(FrameSource& source);
// Decodes what grabOne read into `source.frame`. False when there is nothing to show; a damaged
// or refused picture is said once per source.
bool retrieveOne(FrameSource& source);

// Video files: the frame due at `now` on the file's own clock. Returns false when the source
// failed; sets `fresh` only when a new frame was read.
bool readPaced(FrameSource& source, std::uint32_t now, bool* fresh);

// Live streams: the newest frame that has arrived. Returns false when the source failed; sets
// `fresh` only when there is a new frame to show.
bool readNewest(FrameSource& source, bool* fresh);

// GStreamer pipelines: opening (false when it cannot be built or does not start), reading the
// newest frame into source.frame (false when it stopped), and closing.
bool openPipeline(FrameSource& source);
bool readPipeline(FrameSource& source);
void closePipeline(FrameSource& source);

// Milliseconds from a monotonic clock, as a double: the time base of live streams' delays.
double liveClockMs();

// One line on stderr once per source for an incident, `said` remembering it.
void sayOnce(bool& said, const std::string& message);
