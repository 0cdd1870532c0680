#!/bin/sh
# Installs the Debian packages that building, running and testing Lumivane need.
# Quiet and quick when they are all there; uses sudo only when not root.
set -eu

packages="build-essential cmake pkg-config freeglut3-dev libglu1-mesa-dev libgl1-mesa-dri
libopencv-dev libopencv-videoio-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
libturbojpeg0-dev libpng-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
gstreamer1.0-tools
appstream ffmpeg
libgtest-dev googletest libx11-dev xvfb xauth xdotool imagemagick x11-utils
dpkg-dev file desktop-file-utils man-db groff-base python3 iproute2
libavformat-dev libavutil-dev libexiv2-dev libimage-exiftool-perl
libgstrtspserver-1.0-dev nginx-light libnginx-mod-rtmp libnginx-mod-stream openssl glib-networking
libsrt-gnutls-dev"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
echo "Installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
