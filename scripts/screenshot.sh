#!/usr/bin/env bash
# Renders Tessaly's main window without a display into a PNG: scripts/screenshot.sh [file.png]
# (TESSALY_BUILD_DIR picks another build directory than build/.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-"$root/out/tessaly-window.png"}
build=${TESSALY_BUILD_DIR:-"$root/build"}
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tessaly_screenshot -j"$(nproc)"
mkdir -p "$(dirname "$out")"
QT_QPA_PLATFORM=offscreen "$build/app/tessaly_screenshot" "$out"
