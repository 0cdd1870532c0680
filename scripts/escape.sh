#!/bin/bash
# How long Escape takes to end the real viewer on sources that are slow to give a frame, or
# never give one: each is opened several times and Escape pressed at a random moment, timed from
# the key press to the end of the process. Servers are the benchmark in its serving role; run
# scripts/bench.sh --holds first, which makes their clips.
# Usage: scripts/escape.sh [PRESSES]   (default 5 a source)
set -eu
cd "$(dirname "$0")/.."
dir=/tmp/lumivane-bench
presses=${1:-5}
if [ "${2:-}" != --under-x ]; then
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target lumivane lumivane_bench lumivane_fake_camera >/dev/null
mkdir -p "$dir/camera"
[ -f "$dir/camera/MJPG-3840x1920.bin" ] || ffmpeg -loglevel error -y -f lavfi -i \
  "color=c=gray:size=3840x1920,noise=alls=40:allf=t" -frames:v 1 -q:v 16 -f mjpeg \
  "$dir/camera/MJPG-3840x1920.bin"
LIBGL_ALWAYS_SOFTWARE=1 exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$presses" --under-x
fi

now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }  # no process started to read the clock

press() {  # NAME SOURCE PORT SERVE-ARGS...: one line with the worst of PRESSES presses
  name=$1 source=$2 port=$3
  shift 3
  worst=0
  for _ in $(seq "$presses"); do
    truncate -s 144000 "$dir/escape-notes"
    server=""
    if [ "$1" != none ]; then
      ./build/lumivane_bench --serve "$1" "$port" "$dir/escape-notes" "${@:2}" &
      server=$!
      until ss -ltn | grep -q ":$port "; do sleep 0.05; done
    fi
    ./build/lumivane "${source//PORT/$port}" 2>/dev/null &
    viewer=$!
    window=""
    until [ -n "$window" ]; do
      sleep 0.1
      window=$(xdotool search --name '^Lumivane - Brackwell$' 2>/dev/null | head -1 || true)
    done
    sleep "$(awk "BEGIN { srand(); printf \"%.2f\", 0.5 + 4 * rand() }")"
    xdotool mousemove --window "$window" 320 240
    (sleep 5 && kill -9 "$viewer" 2>/dev/null) &  # a viewer that does not end is one
    watchdog=$!
    start=$(now_ms)
    xdotool key Escape
    wait "$viewer" || true
    took=$(($(now_ms) - start))
    kill "$watchdog" 2>/dev/null || true
    [ "$took" -gt "$worst" ] && worst=$took
    [ -n "$server" ] && kill "$server" 2>/dev/null
    wait 2>/dev/null || true
    port=$((port + 1))
  done
  echo "| $name | $worst ms |"
}

echo "| source, $presses presses each | slowest Escape |"
echo "|---|---|"
# What quitting costs by itself: no camera 63, nothing to read.
press "no source (camera 63, the test card)" 63 19280 none

press "MJPEG camera, 1 fps" "http://127.0.0.1:PORT/live" 19300 "$dir/live-1920x960.avi" mjpeg 1
press "MJPEG camera, 5 fps" "http://127.0.0.1:PORT/live" 19320 "$dir/live-1920x960.avi" mjpeg 5
press "MJPEG camera, 30 fps" "http://127.0.0.1:PORT/live" 19340 "$dir/live-1920x960.avi" mjpeg 30
press "H.264 in MPEG-TS over TCP, 30 fps" "tcp://127.0.0.1:PORT" 19360 "$dir/live-1920x960.ts" tcp 30
press "H.264 joined 2.5 s before a key frame" "tcp://127.0.0.1:PORT" 19380 \
  "$dir/live-1920x960-gop5.ts" tcp 30 75
press "server that accepts and never sends" "http://127.0.0.1:PORT/live" 19400 - silent
press "pipeline that never starts" "tcpclientsrc host=127.0.0.1 port=PORT ! decodebin" 19420 - \
  silent
# The tests' camera at the kernel interface, at one frame a second.
(
  export LD_PRELOAD="$PWD/build/lumivane_fake_camera.so" LUMIVANE_FAKE_CAMERA=/dev/video7 \
    LUMIVANE_FAKE_CAMERA_MODES=MJPG:3840x1920@1 LUMIVANE_FAKE_CAMERA_FRAMES="$dir/camera" \
    LUMIVANE_FAKE_CAMERA_LOCK="$dir/camera/lock"
  press "camera 7 (test camera), MJPEG 3840x1920 at 1 fps" 7 19440 none
)
