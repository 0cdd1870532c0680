#!/bin/sh
# Builds and runs the frame-path benchmark under a virtual X server with Mesa's software GL.
# Arguments go to the benchmark: --seconds N (sustained run, default 10), --iterations N,
# --video FILE (sustained run on your own file), --layouts (only the reprojection rows and
# their sustained runs), --camera N (the pace for N seconds on the tests' camera at the kernel
# interface, 3840 by 1920 MJPEG at 30 fps), --compare [ROUNDS] (processor, memory and pictures
# shown against ffplay and mpv: scripts/players.sh; --compare --layouts [ROUNDS] for the layouts
# with --gpu, --compare --gopro [ROUNDS] for a GoPro MAX .360 at 5.6K), --heavy (the delay of
# live H.264 at 88 and 100 Mbit/s beside ffplay: scripts/live-delay.sh --heavy).
set -eu
cd "$(dirname "$0")/.."
[ "${1:-}" != --compare ] || { shift; exec ./scripts/players.sh "$@"; }
[ "${1:-}" != --heavy ] || exec ./scripts/live-delay.sh --heavy
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target lumivane_bench lumivane_fake_camera >/dev/null
if [ "${1:-}" = --camera ]; then
  frames=/tmp/lumivane-bench/camera
  mkdir -p "$frames"
  [ -f "$frames/MJPG-3840x1920.bin" ] || ffmpeg -loglevel error -y -f lavfi -i \
    "color=c=gray:size=3840x1920,noise=alls=40:allf=t" -frames:v 1 -q:v 16 -f mjpeg \
    "$frames/MJPG-3840x1920.bin"
  set -- env LD_PRELOAD="$PWD/build/lumivane_fake_camera.so" LUMIVANE_FAKE_CAMERA=/dev/video7 \
    LUMIVANE_FAKE_CAMERA_MODES=MJPG:3840x1920@30 LUMIVANE_FAKE_CAMERA_FRAMES="$frames" \
    LUMIVANE_FAKE_CAMERA_LOCK="$frames/lock" ./build/lumivane_bench "$@"
else
  set -- ./build/lumivane_bench "$@"
fi
LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$@"
