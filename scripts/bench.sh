#!/bin/sh
# Builds and runs the frame-path benchmark under a virtual X server with Mesa's software GL.
# Arguments go to the benchmark: --seconds N (sustained run, default 10), --iterations N,
# --video FILE (sustained run on your own file), --layouts (only the reprojection rows and
# their sustained runs).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target lumivane_bench >/dev/null
LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s "-screen 0 1280x1024x24" ./build/lumivane_bench "$@"
