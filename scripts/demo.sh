#!/usr/bin/env bash
# Builds the library and runs the demo.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target re5zor4_demo
mkdir -p "$build/demo-run"
cd "$build/demo-run"
RU5RED4_CONFIG="$root/examples/ru5red4.ini" "$build/examples/re5zor4_demo" "$@"
