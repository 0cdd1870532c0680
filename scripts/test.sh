#!/bin/sh
# Installs what is missing, builds Lumivane with its tests and runs them all under a virtual
# X server (Xvfb with Mesa's software GL).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
# Software GL, whatever the machine has, so that pixel comparisons are the same everywhere.
LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --test-dir build --output-on-failure
