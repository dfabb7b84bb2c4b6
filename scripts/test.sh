#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DTESSALY_TESTS=ON -DTESSALY_BENCH=ON

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$root/build" --output-on-failure -j"$(nproc)" --timeout 300
