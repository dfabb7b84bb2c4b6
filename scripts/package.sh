#!/usr/bin/env bash
# Builds the Debian package from a build directory (configured for the prefix /usr) and checks
# its file list, its declared dependencies and its desktop entry: scripts/package.sh [dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/tessaly_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/tessaly_*.deb)

expected="./usr/bin/tessaly
./usr/bin/tessaly-capture
./usr/share/applications/tessaly.desktop
./usr/share/icons/hicolor/128x128/apps/tessaly.png
./usr/share/icons/hicolor/256x256/apps/tessaly.png
./usr/share/icons/hicolor/32x32/apps/tessaly.png
./usr/share/icons/hicolor/64x64/apps/tessaly.png"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
if [ "$files" != "$expected" ]; then
  echo "package $deb holds other files than expected:" >&2
  diff <(echo "$expected") <(echo "$files") >&2 || true
  exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libssl3 libc6; do
  if [[ $depends != *"$lib"* ]]; then
    echo "package $deb does not declare $lib: Depends: $depends" >&2
    exit 1
  fi
done
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/tessaly.desktop"
"$unpacked/usr/bin/tessaly-capture" --version >/dev/null
echo "package ok: $deb"
echo "Depends: $depends"
