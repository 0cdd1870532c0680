"""One run of live-delay.sh --network: a server or sender on loopback sends CLIP as a camera or
an encoder does, a player shows URL, and a watcher notes when the window turns red (every 10 s
from 5 s) and the longest a picture stayed on screen once playing (the clip's noise changes
every frame); live HLS is joined as soon as its playlist lists a fragment, and watched from its
first picture on. Usage: network-delay.py CLIP URL lumivane|lumivane-gpu|ffplay|mpv, under X
(lumivane-gpu: the viewer with --gpu).

What sends, by URL: rtmp:// and http:// (HLS), ffmpeg publishing to the nginx that
live-delay.sh runs; rtsp://, the tests' RTSP server, which prints when a client's clip starts
playing; srt:// calling, an ffmpeg listener; srt:// with mode=listener, an ffmpeg caller;
udp://, ffmpeg sending MPEG-TS. ffmpeg's progress tells when each flash was sent, to a
few milliseconds."""
import os
import subprocess
import sys
import threading
import time

clip, url, player = sys.argv[1:]
seconds = 45
port = url.rsplit(":", 1)[1].split("/")[0].split("?")[0]
ffmpeg = ["ffmpeg", "-loglevel", "error", "-re", "-i", clip, "-c", "copy", "-progress", "pipe:1",
          "-stats_period", "0.1"]
sent = {}
# The URL each player is given: ffmpeg's own forms where this viewer takes other players'.
theirs = url.replace("srt://:", "srt://127.0.0.1:").replace("udp://@:", "udp://127.0.0.1:")
if url.startswith(("rtmp://", "http://")):
    send, later = ffmpeg + ["-f", "flv", "rtmp://127.0.0.1:19231/live/cam"], False
elif url.startswith("rtsp://"):
    send, later = ["./build/lumivane_rtsp_server", port, clip, "clock"], False
elif "mode=listener" in url:
    send, later = ffmpeg + ["-f", "mpegts", "srt://127.0.0.1:%s?mode=caller" % port], True
elif url.startswith("srt://"):
    send, later = ffmpeg + ["-f", "mpegts", "srt://127.0.0.1:%s?mode=listener" % port], False
else:
    send, later = ffmpeg + ["-f", "mpegts", "udp://127.0.0.1:%s?pkt_size=1316" % port], False


def progress(pub):
    frame = 150
    for line in pub.stdout:
        if line.startswith("playing "):  # frame N is sent N/30 s after this
            start = float(line.split()[1])
            for frame in range(150, seconds * 30, 300):
                sent[frame] = start + frame / 30 * 1000
        # ffmpeg sends in real time (-re), so a flash left as long before this line as its
        # time is before the output's; ffmpeg's lines come every 0.1 s.
        if line.startswith("out_time_us=") and line[12:].strip().isdigit():
            now, out = time.monotonic() * 1000, int(line[12:]) / 1000
            while out >= frame / 30 * 1000:
                sent[frame] = now - (out - frame / 30 * 1000)
                frame += 300


def start_sender():
    pub = subprocess.Popen(send, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    threading.Thread(target=progress, args=(pub,), daemon=True).start()
    return pub


pub = None if later else start_sender()
if url.endswith(".m3u8"):
    # Joined as it starts: once nginx's playlist lists its first fragment.
    import urllib.request
    for _ in range(100):
        time.sleep(0.1)
        try:
            if b"#EXTINF" in urllib.request.urlopen(url, timeout=1).read():
                break
        except OSError:
            pass
else:
    time.sleep(0.5)
command, title = {
    "lumivane": (["./build/lumivane"], "^Lumivane - Brackwell$"),
    "lumivane-gpu": (["./build/lumivane", "--gpu"], "^Lumivane - Brackwell$"),
    "ffplay": (["ffplay", "-loglevel", "quiet", "-an", "-fflags", "nobuffer", "-flags",
                "low_delay", "-framedrop", "-x", "640", "-y", "480", "-window_title",
                "ffplay-live"], "^ffplay-live$"),
    "mpv": (["mpv", "--really-quiet", "--profile=low-latency", "--untimed", "--ao=null",
             "--vo=x11", "--geometry=640x480", "--title=mpv-live"], "^mpv-live$"),
}[player]
viewer = subprocess.Popen(command + [url if player.startswith("lumivane") else theirs],
                          env=dict(os.environ, SDL_AUDIODRIVER="dummy"),
                          stdout=subprocess.DEVNULL, stderr=open("/tmp/edge-%s.txt" % player, "w"))
if later:  # a caller: once the player listens
    time.sleep(1)
    pub = start_sender()
# xdotool waits for the window itself, 10 s at most.
found = subprocess.run(["timeout", "10", "xdotool", "search", "--sync", "--name", title],
                       capture_output=True, text=True)
window = (found.stdout.split() or [""])[0]
# A click stops the viewer's spin, so that only new pictures change the window.
subprocess.run(["xdotool", "mousemove", "--window", window, "100", "100", "click", "1"])
watch = "./build/lumivane_pixel_watch"
# Live HLS is watched from its first picture on, when a player joined as it starts holds one
# longest; the others once they play.
wait = 0 if url.endswith(".m3u8") else 10
held = subprocess.Popen(["sh", "-c", "sleep %d; exec %s %s 320 300 %d held" %
                         (wait, watch, window, seconds - wait)], stdout=subprocess.PIPE,
                        text=True)
reds = subprocess.run([watch, window, "320", "200", str(seconds)], capture_output=True,
                      text=True).stdout.splitlines()
longest = held.communicate()[0].strip()
viewer.kill()
pub.kill()
reds = [float(line.split()[1]) for line in reds if line.startswith("red ")]
delays = []
for frame, at in sorted(sent.items()):
    after = [r - at for r in reds if at - 50 <= r < at + 9000]
    if after:
        delays.append(after[0])
print("%s, %s: %s; longest held %s ms" % (
    url, player, ", ".join("%.0f ms" % d for d in delays) or "no flash shown", longest or "?"))
