#!/bin/bash
# End-to-end delay of live streams, with the real viewer: a loopback server (the benchmark in
# its serving role) sends a 30 fps stream of detailed frames that flashes red at 12 s and at
# 60 s, noting when each frame leaves; a watcher notes when the window turns red.
# Streams: MJPEG at 1920 by 960 and 3840 by 1920, H.264 in MPEG-TS at 1920 by 960.
# Needs several GB in /tmp for the clips (made once) and memory for the server to hold one.
# With --ffplay, only H.264, alternately with this viewer and with ffplay's low-delay flags, on a
# clip that flashes every 2 s, so that each run gives about 28 delays: their median and spread.
# With --heavy, H.264 at 88 Mbit/s (1920 by 960, noise, a key frame a second), as a 4K 360
# camera's live stream runs, and at 100 Mbit/s at 3840 by 1920, each served by ffmpeg -re
# -listen, with this viewer (both modes) and then ffplay's low-delay flags.
# With --network [rtmp http rtsp srt udp], a 6 Mbit/s 1920 by 960 stream, red every 10 s, as a
# camera sends it (scripts/network-delay.py): RTMP and live HLS (1 s fragments) from nginx with
# its RTMP module, to which ffmpeg publishes; RTSP from the tests' RTSP server; SRT from an
# ffmpeg listener and to an ffmpeg caller; MPEG-TS over UDP from ffmpeg. This viewer, ffplay
# with its low-delay flags and mpv's low-latency profile, each twice; each flash's delay, and
# the longest a picture was held once playing.
# With --camera, the test camera of the tests (a V4L2 camera at the kernel interface, 3840 by
# 1920 MJPEG at 30 fps) turns red every other second, alternately with this viewer and ffplay;
# the delay runs from the moment the camera captures the first red frame (its frame clock keeps to
# the wall clock's whole seconds), for the flashes from the viewer's first picture on.
# Every mode measures this viewer both as designed and with --gpu.
set -eu
cd "$(dirname "$0")/.."
dir=/tmp/lumivane-live-delay
if [ "${1:-}" != --under-x ]; then
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target lumivane lumivane_bench lumivane_pixel_watch \
  lumivane_fake_camera lumivane_rtsp_server >/dev/null
mkdir -p "$dir"
clip() {  # SIZE: a 62 s MJPEG clip of noise with red frames from 12 s and from 60 s
  [ -f "$dir/flash-$1.avi" ] || ffmpeg -loglevel error -y -f lavfi -i \
    "color=c=gray:size=$1:rate=30,noise=alls=40:allf=t,drawbox=c=red:t=fill:enable='between(n,360,374)+between(n,1800,1814)'" \
    -t 62 -c:v mjpeg -q:v 5 "$dir/flash-$1.avi"
}
clip 1920x960
clip 3840x1920
h264() {  # TARGET INPUT...: 62 s of H.264 for MPEG-TS
  target=$1
  shift
  [ -f "$dir/$target" ] || ffmpeg -loglevel error -y "$@" -t 62 -c:v libx264 -preset veryfast \
    -b:v 8M -g 30 -bf 0 -pix_fmt yuv420p "$dir/$target"
}
h264 flash-1920x960.ts -i "$dir/flash-1920x960.avi"
if [ "${1:-}" = --network ]; then
  [ -f "$dir/flashes10-1920x960.mp4" ] || ffmpeg -loglevel error -y -f lavfi -i \
    "color=c=gray:size=1920x960:rate=30,drawbox=c=red:t=fill:enable='gte(n,150)*lt(mod(n-150,300),8)',noise=alls=40:allf=t" \
    -t 62 -c:v libx264 -preset veryfast -b:v 6M -maxrate 6M -bufsize 6M -g 30 -bf 0 \
    -pix_fmt yuv420p "$dir/flashes10-1920x960.mp4"
  if ! command -v mpv >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends mpv >/dev/null
  fi
fi
if [ "${1:-}" = --heavy ]; then
  [ -f "$dir/heavy-1920x960.ts" ] || ffmpeg -loglevel error -y -i "$dir/flash-1920x960.avi" \
    -t 62 -c:v libx264 -preset veryfast -b:v 88M -maxrate 88M -bufsize 44M -g 30 -bf 0 \
    -pix_fmt yuv420p "$dir/heavy-1920x960.ts"
  [ -f "$dir/heavy-3840x1920.ts" ] || ffmpeg -loglevel error -y -f lavfi -i \
    "color=c=gray:size=3840x1920:rate=30,noise=alls=40:allf=t,drawbox=c=red:t=fill:enable='between(n,360,374)'" \
    -t 32 -c:v libx264 -preset ultrafast -b:v 100M -maxrate 100M -bufsize 50M -g 30 -bf 0 \
    -pix_fmt yuv420p "$dir/heavy-3840x1920.ts"
fi
# Red for 8 frames of every 60, from 2 s on.
h264 flashes-1920x960.ts -f lavfi -i \
  "color=c=gray:size=1920x960:rate=30,noise=alls=40:allf=t,drawbox=c=red:t=fill:enable='gte(n,60)*lt(mod(n,60),8)'"

# The rest runs under a virtual X server with Mesa's software GL.
LIBGL_ALWAYS_SOFTWARE=1 exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" --under-x "$@"
fi

watch() {  # TITLE SECONDS FILE: when the viewer's window, once it is up, turns red
  window=""
  for _ in $(seq 50); do
    window=$(xdotool search --name "$1" 2>/dev/null | head -1 || true)
    [ -n "$window" ] && break
    sleep 0.2
  done
  ./build/lumivane_pixel_watch "$window" 320 200 "$2" >"$3"
}

measure() {  # CLIP MODE PORT [ffplay|--gpu]
  notes="$dir/notes-$3"
  truncate -s 144000 "$notes"
  ./build/lumivane_bench --serve "$1" "$3" "$notes" "$2" &
  server=$!
  until ss -ltn | grep -q ":$3 "; do sleep 0.2; done
  if [ "${4:-}" = ffplay ]; then
    # ffplay with its low-delay flags, for comparison.
    SDL_AUDIODRIVER=dummy ffplay -loglevel quiet -an -fflags nobuffer -flags low_delay \
      -framedrop -x 640 -y 480 -window_title ffplay-live "http://127.0.0.1:$3/live" &
    name='^ffplay-live$'
  else
    # shellcheck disable=SC2086
    ./build/lumivane ${4:-} "http://127.0.0.1:$3/live" 2>"$dir/stderr-$3" &
    name='^Lumivane - Brackwell$'
  fi
  viewer=$!
  watch "$name" 64 "$dir/red-$3"
  kill "$viewer" "$server" 2>/dev/null || true
  wait 2>/dev/null || true
  python3 - "$notes" "$dir/red-$3" "$(basename "$1")" <<'PY'
import statistics, struct, sys
sent = struct.unpack('18000d', open(sys.argv[1], 'rb').read())
reds = [float(line.split()[1]) for line in open(sys.argv[2]) if line.startswith("red ")]
if sys.argv[3].startswith('flashes'):
    delays = []
    for frame in range(60, 1860, 60):
        after = [r - sent[frame] for r in reds if sent[frame] - 50 <= r < sent[frame] + 1500]
        if sent[frame] > 0 and after:
            delays.append(after[0])
    if delays:
        q = statistics.quantiles(delays, n=10)
        print("%d flashes: median %.0f ms, 10th to 90th percentile %.0f to %.0f ms, mean %.0f ms"
              % (len(delays), statistics.median(delays), q[0], q[-1], statistics.mean(delays)))
    else:
        print("no flash was shown")
    sys.exit(0)
for frame in (360, 1800):
    after = [r - sent[frame] for r in reds if r >= sent[frame] - 50]
    shown = "%.0f ms after it was sent" % after[0] if after else "never"
    if sent[frame] == 0:
        shown = "never, as the server had not sent it before the watch ended"
    print("%s: the flash at %d s shown %s" % (sys.argv[3], frame // 30, shown))
PY
}

camera() {  # [ffplay|--gpu]
  frames="$dir/camera"
  mkdir -p "$frames"
  # Noise at 1.2 MB a frame: 290 Mbit/s at 30 fps, what a camera on USB 2 sends at most.
  for frame in MJPG-3840x1920:gray MJPG-3840x1920-flash:red; do
    [ -f "$frames/${frame%:*}.bin" ] || ffmpeg -loglevel error -y -f lavfi -i \
      "color=c=${frame#*:}:size=3840x1920,noise=alls=40:allf=t" -frames:v 1 -q:v 16 -f mjpeg \
      "$frames/${frame%:*}.bin"
  done
  camera=(env LD_PRELOAD="$PWD/build/lumivane_fake_camera.so" LUMIVANE_FAKE_CAMERA=/dev/video7
    LUMIVANE_FAKE_CAMERA_MODES=MJPG:3840x1920@30 LUMIVANE_FAKE_CAMERA_FRAMES="$frames"
    LUMIVANE_FAKE_CAMERA_FLASH_MS=1000 LUMIVANE_FAKE_CAMERA_LOCK="$dir/camera.lock")
  : >"$dir/stderr-camera"
  if [ "${1:-}" = ffplay ]; then
    SDL_AUDIODRIVER=dummy "${camera[@]}" ffplay -loglevel quiet -f v4l2 -input_format mjpeg \
      -video_size 3840x1920 -x 640 -y 480 -window_title ffplay-camera /dev/video7 &
    name='^ffplay-camera$'
  else
    # shellcheck disable=SC2086
    "${camera[@]}" ./build/lumivane ${1:-} 7 2>"$dir/stderr-camera" &
    name='^Lumivane - Brackwell$'
  fi
  viewer=$!
  watch "$name" 32 "$dir/red-camera"
  kill "$viewer" 2>/dev/null || true
  wait 2>/dev/null || true
  [ ! -s "$dir/stderr-camera" ] || { echo "on stderr:"; cat "$dir/stderr-camera"; }
  python3 - "$dir/red-camera" <<'PY'
import statistics, sys, time
# The camera's flashes start at odd whole seconds of the wall clock; the watcher notes steady time.
offset = time.time() * 1000 - time.monotonic() * 1000
marks = [line.split() for line in open(sys.argv[1])]
reds = [float(t) + offset for kind, t in marks if kind == "red"]
# Flashes from the first picture on: a red before it is the viewer starting, not a delay.
shown = min([float(t) + offset for kind, t in marks if kind == "shown"] or [float("inf")])
delays = []
for second in range(int(reds[0] // 1000) - 1 if reds else 0, int(reds[-1] // 1000) + 1 if reds else 0):
    if second % 2 == 1 and second * 1000 >= shown:
        after = [r - second * 1000 for r in reds if second * 1000 - 50 <= r < second * 1000 + 1000]
        if after:
            delays.append(after[0])
if len(delays) > 2:
    q = statistics.quantiles(delays, n=10)
    print("%d flashes: median %.0f ms, 10th to 90th percentile %.0f to %.0f ms, worst %.0f ms"
          % (len(delays), statistics.median(delays), q[0], q[-1], max(delays)))
else:
    print("no flash was shown")
PY
}

served() {  # CLIP PORT SECONDS VIEWER...: served by ffmpeg -re -listen, as the issue's was
  python3 - "$@" <<'PY'
import subprocess, sys, threading, time
clip, port, seconds, viewer = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4:]
url = "http://127.0.0.1:%s/live" % port
# ffmpeg's clock starts as its client connects; the moment its output passes 12 s of stream
# time is when the flash was sent.
server = subprocess.Popen(["ffmpeg", "-loglevel", "error", "-re", "-i", clip, "-c", "copy",
                           "-f", "mpegts", "-progress", "pipe:1", "-stats_period", "0.1",
                           "-listen", "1", url], stdout=subprocess.PIPE, text=True)
sent = {}
def progress():
    for line in server.stdout:
        if line.startswith("out_time_us=") and line[12:].strip().isdigit():
            for mark in (12, 60):
                if int(line[12:]) >= mark * 1e6 and mark not in sent:
                    sent[mark] = time.monotonic() * 1000
threading.Thread(target=progress, daemon=True).start()
time.sleep(0.5)
if viewer[0] == "ffplay":
    player = subprocess.Popen(["ffplay", "-loglevel", "quiet", "-an", "-fflags", "nobuffer",
                               "-flags", "low_delay", "-framedrop", "-x", "640", "-y", "480",
                               "-window_title", "ffplay-live", url],
                              env=dict(__import__("os").environ, SDL_AUDIODRIVER="dummy"))
    title = "^ffplay-live$"
else:
    player = subprocess.Popen(viewer + [url])
    title = "^Lumivane - Brackwell$"
# xdotool waits for the window itself, 10 s at most.
found = subprocess.run(["timeout", "10", "xdotool", "search", "--sync", "--name", title],
                       capture_output=True, text=True)
window = (found.stdout.split() or [""])[0]
watch = subprocess.run(["./build/lumivane_pixel_watch", window, "320", "200", str(seconds)],
                       capture_output=True, text=True)
player.kill()
server.kill()
reds = [float(line.split()[1]) for line in watch.stdout.splitlines() if line.startswith("red ")]
for mark in (12, 60):
    if mark in sent:
        after = [r - sent[mark] for r in reds if r >= sent[mark] - 50]
        print("  the flash at %d s shown %s" % (mark, "%.0f ms after it was sent" % after[0]
                                                 if after else "never"))
    elif mark < seconds - 5:
        print("  the flash at %d s: not sent before the watch ended (the server was held back)"
              % mark)
PY
}

if [ "${2:-}" = --network ]; then
  # nginx with its RTMP module, as the network tests run it; ffmpeg publishes as a camera does.
  ngx="$dir/nginx"
  rm -rf "$ngx" && mkdir -p "$ngx/hls"
  printf '%s\n' "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;" \
    "user root; daemon off; worker_processes 1; pid $ngx/nginx.pid; error_log $ngx/error.log;" \
    "events { worker_connections 64; }" \
    "rtmp { server { listen 127.0.0.1:19231; chunk_size 4096; application live { live on;" \
    "  record off; hls on; hls_path $ngx/hls; hls_fragment 1s; hls_playlist_length 6s; } } }" \
    "http { access_log off; client_body_temp_path $ngx; proxy_temp_path $ngx;" \
    "  fastcgi_temp_path $ngx; uwsgi_temp_path $ngx; scgi_temp_path $ngx;" \
    "  server { listen 127.0.0.1:19232; location /hls { types {" \
    "  application/vnd.apple.mpegurl m3u8; video/mp2t ts; } root $ngx;" \
    "  add_header Cache-Control no-cache; } } }" >"$ngx/nginx.conf"
  nginx -p "$ngx" -c "$ngx/nginx.conf" &
  nginx=$!
  trap 'kill $nginx 2>/dev/null' EXIT
  until ss -ltn | grep -q ":19232 "; do sleep 0.2; done
  # The protocols named after --network (rtmp http rtsp srt udp), or all of them.
  shift 2
  for url in rtmp://127.0.0.1:19231/live/cam http://127.0.0.1:19232/hls/cam.m3u8 \
    rtsp://127.0.0.1:19236/live srt://127.0.0.1:19233 "srt://:19234?mode=listener" \
    udp://@:19235; do
    [ $# -eq 0 ] || printf ' %s ' "$@" | grep -q " ${url%%:*} " || continue
    for _ in 1 2; do
      for player in lumivane lumivane-gpu ffplay mpv; do
        python3 scripts/network-delay.py "$dir/flashes10-1920x960.mp4" "$url" "$player"
      done
    done
  done
  exit 0
fi
if [ "${2:-}" = --heavy ]; then
  # Each as ffmpeg serves it, which a viewer that falls behind holds back.
  for clip in heavy-1920x960:64 heavy-3840x1920:30; do
    for viewer in ./build/lumivane "./build/lumivane --low-cpu" "./build/lumivane --gpu" ffplay; do
      echo "${clip%:*}, $viewer:"
      # shellcheck disable=SC2086
      served "$dir/${clip%:*}.ts" 19221 "${clip#*:}" $viewer 2>"$dir/stderr-heavy"
      [ ! -s "$dir/stderr-heavy" ] || sed 's/^/  /' "$dir/stderr-heavy"
    done
  done
  exit 0
fi
if [ "${2:-}" = --camera ]; then
  for _ in 1 2; do
    echo "lumivane 7:"
    camera
    echo "lumivane --gpu 7:"
    camera --gpu
    echo "ffplay -f v4l2 -input_format mjpeg -video_size 3840x1920:"
    camera ffplay
  done
  exit 0
fi
if [ "${2:-}" = --ffplay ]; then
  # H.264 side by side with ffplay: each twice, alternately.
  for port in 19211 19214; do
    echo "lumivane:"
    measure "$dir/flashes-1920x960.ts" ts "$port"
    echo "lumivane --gpu:"
    measure "$dir/flashes-1920x960.ts" ts $((port + 1)) --gpu
    echo "ffplay -fflags nobuffer -flags low_delay -framedrop:"
    measure "$dir/flashes-1920x960.ts" ts $((port + 2)) ffplay
  done
  exit 0
fi
measure "$dir/flash-1920x960.avi" mjpeg 19201
measure "$dir/flash-3840x1920.avi" mjpeg 19202
measure "$dir/flash-1920x960.ts" ts 19203
echo "with --gpu:"
measure "$dir/flash-1920x960.avi" mjpeg 19204 --gpu
measure "$dir/flash-3840x1920.avi" mjpeg 19205 --gpu
measure "$dir/flash-1920x960.ts" ts 19206 --gpu
