#!/usr/bin/env bash
# Installs what building and running need, builds the window program (Release, in build/) and
# starts Tessaly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" build
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_TESTS=OFF \
  -DTESSALY_BENCH=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target tessaly

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "Tessaly is built, but there is no display to open its window on (DISPLAY and WAYLAND_DISPLAY are unset); start it under a virtual one with: apt-get install -y xvfb && xvfb-run $root/build/app/tessaly" >&2
  exit 1
fi
exec "$root/build/app/tessaly"
