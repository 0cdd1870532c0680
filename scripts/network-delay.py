"""One run of live-delay.sh --network: ffmpeg publishes CLIP to nginx's RTMP module as a camera
does, a player shows URL (from that nginx), and a watcher notes when the window turns red (every
10 s from 5 s) and the longest a picture stayed on screen once playing (the clip's noise changes
every frame). Usage: network-delay.py CLIP URL lumivane|ffplay|mpv, under X."""
import os
import subprocess
import sys
import threading
import time

clip, url, player = sys.argv[1:]
seconds = 45
# The moment ffmpeg's output passes a flash's time is when the flash was sent.
pub = subprocess.Popen(["ffmpeg", "-loglevel", "error", "-re", "-i", clip, "-c", "copy", "-f",
                        "flv", "-progress", "pipe:1", "-stats_period", "0.1",
                        "rtmp://127.0.0.1:19231/live/cam"], stdout=subprocess.PIPE, text=True)
sent = {}


def progress():
    frame = 150
    for line in pub.stdout:
        if line.startswith("out_time_us=") and line[12:].strip().isdigit():
            while int(line[12:]) >= frame / 30 * 1e6:
                sent[frame] = time.monotonic() * 1000
                frame += 300


threading.Thread(target=progress, daemon=True).start()
time.sleep(3.5 if url.endswith(".m3u8") else 0.5)  # until nginx has written the playlist
command, title = {
    "lumivane": (["./build/lumivane"], "^Lumivane - Brackwell$"),
    "ffplay": (["ffplay", "-loglevel", "quiet", "-an", "-fflags", "nobuffer", "-flags",
                "low_delay", "-framedrop", "-x", "640", "-y", "480", "-window_title",
                "ffplay-live"], "^ffplay-live$"),
    "mpv": (["mpv", "--really-quiet", "--profile=low-latency", "--untimed", "--ao=null",
             "--vo=x11", "--geometry=640x480", "--title=mpv-live"], "^mpv-live$"),
}[player]
viewer = subprocess.Popen(command + [url], env=dict(os.environ, SDL_AUDIODRIVER="dummy"),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
window = ""
for _ in range(50):
    found = subprocess.run(["xdotool", "search", "--name", title], capture_output=True, text=True)
    if found.stdout.strip():
        window = found.stdout.split()[0]
        break
    time.sleep(0.2)
# A click stops the viewer's spin, so that only new pictures change the window.
subprocess.run(["xdotool", "mousemove", "--window", window, "100", "100", "click", "1"])
watch = "./build/lumivane_pixel_watch"
held = subprocess.Popen(["sh", "-c", "sleep 10; exec %s %s 320 300 %d held" %
                         (watch, window, seconds - 10)], stdout=subprocess.PIPE, text=True)
reds = subprocess.run([watch, window, "320", "200", str(seconds)], capture_output=True,
                      text=True).stdout.splitlines()
longest = held.communicate()[0].strip()
viewer.kill()
pub.kill()
reds = [float(line.split()[1]) for line in reds if line.strip()]
delays = []
for frame, at in sorted(sent.items()):
    after = [r - at for r in reds if at - 50 <= r < at + 9000]
    if after:
        delays.append(after[0])
print("%s, %s: %s; longest held %s ms" % (
    url, player, ", ".join("%.0f ms" % d for d in delays) or "no flash shown", longest or "?"))
