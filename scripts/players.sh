#!/bin/bash
# What a shown picture costs, side by side with the players people would use instead: processor
# (a share of one core, all threads), peak memory and new pictures shown a second, for this
# viewer (default and --low-cpu), ffplay and mpv, each playing the same 10 s 3840 by 1920 H.264
# file (20 Mbit/s, x264 ultrafast) looped in a 640 by 480 window under Xvfb with Mesa's software
# GL; 12 s measured after 3 s, taking turns. Usage: scripts/players.sh [ROUNDS] (default 2).
# With --layouts [ROUNDS], the same clip as two fisheye circles and as an equi-angular cubemap
# (made from it with FFmpeg's v360), and turned: this viewer with --gpu on each, beside ffplay
# unwrapping each with -vf v360. With --gopro [ROUNDS], a GoPro MAX .360 of its 5.6K mode (two
# HEVC tracks of 4096 by 1344, 30 fps, about 60 Mbit/s in all): this viewer, with and without
# --gpu, beside ffplay playing its first track. Installs mpv if it is missing.
set -eu
cd "$(dirname "$0")/.."
dir=/tmp/lumivane-players
if [ "${1:-}" != --under-x ]; then
  ./scripts/install-deps.sh
  if ! command -v mpv >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends mpv >/dev/null
  fi
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target lumivane lumivane_pixel_watch >/dev/null
  mkdir -p "$dir"
  [ -f "$dir/h4k.mp4" ] || ffmpeg -loglevel error -y -f lavfi -i \
    "testsrc2=size=3840x1920:rate=30,noise=alls=20:allf=t" -t 10 -c:v libx264 \
    -preset ultrafast -b:v 20M -maxrate 20M -bufsize 20M -g 30 -pix_fmt yuv420p "$dir/h4k.mp4"
  layouts=""
  if [ "${1:-}" = --gopro ]; then
    layouts=--gopro
    shift
    # Noise keeps the rate up, as a real scene's detail does; each track is a strip of faces.
    [ -f "$dir/max.360" ] || ffmpeg -loglevel error -y \
      -f lavfi -i "testsrc2=s=4096x1344:r=30,noise=alls=30:allf=t" -f lavfi -i sine \
      -f lavfi -i "testsrc=s=4096x1344:r=30,noise=alls=30:allf=t" -t 10 -map 0:v -map 1:a \
      -map 2:v -c:v libx265 -preset ultrafast -b:v 30M \
      -x265-params log-level=error:vbv-maxrate=30000:vbv-bufsize=30000:keyint=30 \
      -pix_fmt yuvj420p -color_range pc -colorspace bt709 -c:a aac \
      -metadata:s:v handler_name="GoPro H.265" -f mp4 "$dir/max.360"
  fi
  if [ "${1:-}" = --layouts ]; then
    layouts=--layouts
    shift
    for layout in dfisheye:3840:1920 eac:2880:1920; do
      name=${layout%%:*} size=${layout#*:}
      [ -f "$dir/h4k-$name.mp4" ] || ffmpeg -loglevel error -y -i "$dir/h4k.mp4" -vf \
        "v360=e:$name:w=${size%:*}:h=${size#*:}" -c:v libx264 -preset ultrafast -b:v 20M \
        -maxrate 20M -bufsize 20M -g 30 -pix_fmt yuv420p "$dir/h4k-$name.mp4"
    done
  fi
  LIBGL_ALWAYS_SOFTWARE=1 exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" --under-x "${1:-2}" $layouts
fi

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

play() {  # NAME TITLE COMMAND...: one row
  name=$1 title=$2
  shift 2
  "$@" >/dev/null 2>"$dir/stderr" &
  player=$!
  window=""
  until [ -n "$window" ]; do
    sleep 0.1
    kill -0 "$player" 2>/dev/null || { echo "$name did not start:"; cat "$dir/stderr"; exit 1; }
    window=$(xdotool search --pid "$player" --name "$title" 2>/dev/null | head -1 || true)
  done
  xdotool windowmove "$window" 0 0
  # The viewer's globe turns until the first press: stopped, its picture changes only with a
  # new picture, as a player's does.
  case $name in lumivane*) xdotool mousemove --window "$window" 320 240 click 1 ;; esac
  sleep 3
  before=$(ticks "$player")
  shown=$(./build/lumivane_pixel_watch "$window" 320 240 12 changes)
  after=$(ticks "$player")
  peak=$(awk '/^VmHWM/ {print int($2 / 1024)}' "/proc/$player/status")
  kill "$player"
  wait "$player" 2>/dev/null || true
  echo "| $name | $(( (after - before) * 100 / $(getconf CLK_TCK) / 12 ))% | $peak MiB | $shown |"
}

echo "| player | processor, share of one core | peak memory | new pictures shown a second |"
echo "|---|---|---|---|"
if [ "${3:-}" = --gopro ]; then
  for _ in $(seq "$2"); do
    play "lumivane, GoPro MAX 5.6K" '^Lumivane' ./build/lumivane "$dir/max.360"
    play "lumivane --gpu, GoPro MAX 5.6K" '^Lumivane' ./build/lumivane --gpu "$dir/max.360"
    play "ffplay, its first track" '^ffplay-max$' env SDL_AUDIODRIVER=dummy ffplay \
      -loglevel quiet -an -loop 0 -x 640 -y 480 -window_title ffplay-max "$dir/max.360"
  done
  exit 0
fi
if [ "${3:-}" = --layouts ]; then
  for _ in $(seq "$2"); do
    play "lumivane --gpu" '^Lumivane' ./build/lumivane --gpu "$dir/h4k.mp4"
    play "lumivane --gpu, dual fisheye" '^Lumivane' ./build/lumivane --gpu \
      --projection=dual-fisheye "$dir/h4k-dfisheye.mp4"
    play "lumivane --gpu, EAC" '^Lumivane' ./build/lumivane --gpu --projection=eac \
      "$dir/h4k-eac.mp4"
    play "lumivane --gpu --yaw=30 --pitch=20 --roll=10" '^Lumivane' ./build/lumivane --gpu \
      --yaw=30 --pitch=20 --roll=10 "$dir/h4k.mp4"
    play lumivane '^Lumivane' ./build/lumivane "$dir/h4k.mp4"
    play "lumivane, dual fisheye" '^Lumivane' ./build/lumivane --projection=dual-fisheye \
      "$dir/h4k-dfisheye.mp4"
    for filter in dfisheye:e eac:e e:e:yaw=30:pitch=20:roll=10; do
      clip=$dir/h4k-${filter%%:*}.mp4
      [ "${filter%%:*}" != e ] || clip=$dir/h4k.mp4
      play "ffplay -vf v360=$filter" '^ffplay-h4k$' env SDL_AUDIODRIVER=dummy ffplay \
        -loglevel quiet -an -loop 0 -x 640 -y 480 -window_title ffplay-h4k \
        -vf "v360=$filter" "$clip"
    done
  done
  exit 0
fi
for _ in $(seq "$2"); do
  play "lumivane --low-cpu" '^Lumivane' ./build/lumivane --low-cpu "$dir/h4k.mp4"
  play lumivane '^Lumivane' ./build/lumivane "$dir/h4k.mp4"
  play "lumivane --gpu" '^Lumivane' ./build/lumivane --gpu "$dir/h4k.mp4"
  play ffplay '^ffplay-h4k$' env SDL_AUDIODRIVER=dummy ffplay -loglevel quiet -an -loop 0 \
    -x 640 -y 480 -window_title ffplay-h4k "$dir/h4k.mp4"
  play mpv '^mpv-h4k$' mpv --really-quiet --no-audio --loop-file=inf --geometry=640x480 \
    --title=mpv-h4k "$dir/h4k.mp4"
done
