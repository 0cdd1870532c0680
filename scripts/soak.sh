#!/bin/sh
# The long robustness runs: 3000 uploads of 1920 by 960 frames through the idle handler, and
# 100 000 random events at every handler (seed from LUMIVANE_FUZZ_SEED, default fixed).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target gl_tests >/dev/null
LUMIVANE_SOAK_UPLOADS=${LUMIVANE_SOAK_UPLOADS:-3000} LUMIVANE_FUZZ_EVENTS=${LUMIVANE_FUZZ_EVENTS:-100000} \
  LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
  ./build/gl_tests --gtest_filter='Robustness.*'
