#!/bin/bash
# What --low-cpu saves and costs, with the real viewer under Xvfb: its share of a core over
# 10 s (user and system time from /proc) and how fast it answers Escape, with and without it.
# Usage: scripts/low-cpu.sh [ROUNDS]   (rounds of the Escape measurement, 10 by default)
set -eu
cd "$(dirname "$0")/.."
dir=/tmp/lumivane-low-cpu
if [ "${1:-}" != --under-x ]; then
  ./scripts/install-deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target lumivane lumivane_escape_reaction >/dev/null
  mkdir -p "$dir"
  ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=1024x512 -frames:v 1 "$dir/still.png"
  ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=1920x960:r=30 -t 20 -c:v mjpeg -q:v 3 \
    "$dir/clip.avi"
  LIBGL_ALWAYS_SOFTWARE=1 exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" --under-x "${1:-10}"
fi
rounds=$2

start() {  # SOURCE STOP_SPIN [FLAG]: starts the viewer; sets $viewer and $window
  ./build/lumivane ${3:-} "$1" 2>"$dir/stderr" &
  viewer=$!
  window=""
  until [ -n "$window" ]; do
    sleep 0.1
    kill -0 "$viewer" 2>/dev/null || { echo "the viewer did not start:"; cat "$dir/stderr"; exit 1; }
    window=$(xdotool search --pid "$viewer" --name '^Lumivane' 2>/dev/null | head -1 || true)
  done
  xdotool windowmove "$window" 0 0
  [ "$2" = 0 ] || xdotool mousemove --window "$window" 320 240 click 1
  sleep 1
}
ticks() { awk '{print $14 + $15}' "/proc/$viewer/stat"; }

for flag in "" --low-cpu; do
  for run in "still.png 1 still picture, spin stopped" "still.png 0 still picture, spinning" \
      "clip.avi 1 1920x960 MJPEG video at 30 fps"; do
    set -- $run
    start "$dir/$1" "$2" $flag
    before=$(ticks); sleep 10; after=$(ticks)
    kill "$viewer"; wait "$viewer" 2>/dev/null || true
    echo "${flag:-default}, ${*:3}: $(( (after - before) * 10 / $(getconf CLK_TCK) ))% of a core"
  done
  times=""
  for i in $(seq "$rounds"); do
    start "$dir/still.png" 1 $flag
    times="$times $(timeout 10 ./build/lumivane_escape_reaction "$window")"
    wait "$viewer" 2>/dev/null || true
  done
  echo "${flag:-default}, Escape to window gone, ms: $(echo $times | tr ' ' '\n' | sort -n |
    awk '{a[NR] = $1} END {printf "median %s, best %s, worst %s of %d", a[int((NR + 1) / 2)], a[1], a[NR], NR}')"
done
