#!/bin/sh
# Installs what is missing, builds Lumivane with its tests and runs them all under a virtual
# X server (Xvfb with Mesa's software GL): once as released, once under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

run_suite() {  # build folder, extra CMake options
  dir=$1
  shift
  cmake -S . -B "$dir" -DLUMIVANE_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  # Software GL, whatever the machine has, so that pixel comparisons are the same everywhere.
  # Without -noreset the server starts over each time its last client leaves, as a test's
  # viewer does, and a viewer started in that moment finds no display.
  LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
    ctest --test-dir "$dir" --output-on-failure
}

run_suite build -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_SANITIZE=OFF
run_suite build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIVANE_SANITIZE=ON
