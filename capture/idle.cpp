// The idle handler: paced uploads of the newest frame, or of the test card while there is none.
#include <GL/freeglut.h>

#include <algorithm>
#include <exception>
#include <string>

#include "app/app.h"
#include "capture/source_internal.h"

namespace {

constexpr int kCardWidth = 1024;
constexpr int kCardHeight = 512;

void showCard(FrameSource& source) {
  const char* label = source.choice.kind == SourceKind::camera ? "no camera" : "no picture";
  if (uploadFrame(makeTestCard(kCardWidth, kCardHeight, label), viewer.texture)) {
    source.cardShown = true;
  }
}

}  // namespace

void onIdle() {
  if (!uploadDue(tickMs(), viewer.lastUploadTick)) return idleBetweenUploads();
  viewer.lastUploadTick = tickMs();
  FrameSource& source = viewer.capture;
  bool pictureChanged = false;
  // Nothing may escape into freeglut, which would end the program: a failed allocation for a
  // huge frame, say, costs that frame and one line.
  try {
    const cv::Mat* frame = nextFrame(source, viewer.lastUploadTick);
    if (frame != nullptr) {
      if (uploadFrame(*frame, viewer.texture)) source.cardShown = false;
      pictureChanged = true;
    } else if (wantsCard(source) && !source.cardShown) {
      // Nothing has delivered a picture: show the card rather than a blank sphere.
      showCard(source);
      pictureChanged = true;
    }
  } catch (const std::exception& e) {
    // The library's messages run over several lines; ours is one.
    std::string why = e.what();
    std::replace(why.begin(), why.end(), '\n', ' ');
    sayOnce(source.saidFailure,
            "a frame of " + describeSource(source.choice) + " could not be shown (" + why + ")");
  }
  // Uploads are the regular heartbeat of redraws, and the spin with them, even while the
  // picture stands still (with --low-cpu, only while something changes).
  redrawAfterUpload(pictureChanged);
}
