#!/bin/sh
# Builds the Debian package, unpacks it into a scratch root and checks what a user gets:
# the installed binary runs, the manual page renders without warnings, the desktop entry is
# valid and opens files, the AppStream metadata is valid and the icon is there.
# Usage: package_check.sh BUILD_DIR
set -eu
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/lumivane_*.deb | head -n 1)
echo "package: $(basename "$deb")"
echo "depends: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q libopencv-videoio || { echo "no OpenCV dependency found"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q libglut || { echo "no GLUT dependency found"; exit 1; }
dpkg -x "$deb" "$root"

version=$(env -u DISPLAY "$root/usr/bin/lumivane" --version)
echo "installed binary: $version"
[ "$version" = "lumivane $(dpkg-deb -f "$deb" Version)" ] || { echo "version mismatch"; exit 1; }

# OpenCV's codecs and camera capture are a module that the installed binary finds beside it.
find "$root/usr/lib" -name lumivane-opencv.so | grep -q . || { echo "no OpenCV module"; exit 1; }
if [ -n "${DISPLAY:-}" ]; then
  # A BMP is read by OpenCV's codecs alone: shown without a line only if the module loads.
  ffmpeg -loglevel error -y -f lavfi -i color=c=red:size=64x32 -frames:v 1 "$root/red.bmp"
  timeout -s INT 3 "$root/usr/bin/lumivane" "$root/red.bmp" 2>"$root/stderr" || true
  [ ! -s "$root/stderr" ] || { echo "installed: $(cat "$root/stderr")"; exit 1; }
fi

page="$root/usr/share/man/man1/lumivane.1"
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "manual page warnings:"; echo "$warnings"; exit 1; }
rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
for expected in "live viewer for 360-degree camera video" "lumivane $(dpkg-deb -f "$deb" Version)" \
    --help --version Escape; do
  echo "$rendered" | grep -q -- "$expected" || { echo "manual page lacks '$expected'"; exit 1; }
done

entry="$root/usr/share/applications/lumivane.desktop"
desktop-file-validate "$entry"
grep -qx 'Exec=lumivane %f' "$entry" || { echo "the desktop entry takes no file"; exit 1; }
# The window's WM_CLASS, so that a taskbar matches the window with this entry.
grep -qx 'StartupWMClass=Lumivane' "$entry" || { echo "the desktop entry lacks StartupWMClass"; exit 1; }
for type in video/mp4 video/x-matroska image/jpeg image/png; do
  grep -q "^MimeType=.*$type;" "$entry" || { echo "the desktop entry lacks $type"; exit 1; }
done
metainfo="$root/usr/share/metainfo/org.lumivane.Lumivane.metainfo.xml"
appstreamcli validate --no-net "$metainfo"
! grep -q '\.example' "$metainfo" || { echo "the metadata names a placeholder address"; exit 1; }
test -s "$root/usr/share/icons/hicolor/scalable/apps/lumivane.svg"
echo "package checks passed"
