#!/usr/bin/env bash
# Installs what is missing, builds a Release build in build/ and starts Tessaly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DTESSALY_TESTS=ON -DTESSALY_BENCH=ON

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "Tessaly is built, but there is no display to open its window on (DISPLAY and WAYLAND_DISPLAY are unset); start it under a virtual one with: apt-get install -y xvfb && xvfb-run $root/build/app/tessaly" >&2
  exit 1
fi
exec "$root/build/app/tessaly"
