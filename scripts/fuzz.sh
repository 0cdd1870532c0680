#!/bin/sh
# The long run of the sources' fuzzer: mutated pictures, videos and MJPEG streams through the
# real decode and upload, under AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: scripts/fuzz.sh [INPUTS [SEED]]   (default 5000 inputs, seed 1)
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIVANE_SANITIZE=ON \
  -DLUMIVANE_BUILD_TESTS=ON >/dev/null
cmake --build build-sanitize -j"$(nproc)" --target gl_tests >/dev/null
LUMIVANE_FUZZ_INPUTS=${1:-5000} LUMIVANE_FUZZ_SEED=${2:-1} ASAN_OPTIONS=detect_leaks=0 \
  LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
  ./build-sanitize/gl_tests --gtest_filter='Fuzz.*'
