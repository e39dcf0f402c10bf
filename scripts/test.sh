#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRE5ZOR4_WERROR=ON \
  ${CMAKE_EXTRA_ARGS:-} >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2 ${CTEST_EXTRA_ARGS:-}
