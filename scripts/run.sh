#!/bin/sh
# Installs what is missing, builds Lumivane and starts it; arguments go to the viewer
# (options such as --dual-fisheye, then a camera index, a picture or video file, a stream URL
# or a GStreamer pipeline).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target lumivane >/dev/null
exec ./build/lumivane "$@"
