#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages; quick when all is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nginx-light lighttpd ffmpeg python3 curl
  libssl-dev openssl libnova-dev python3-ephem
  microsocks dante-server tinyproxy
  clang libclang-rt-14-dev
  dpkg-dev file desktop-file-utils
  libsystemd-dev libsqlite3-dev
  lintian devscripts help2man man-db systemd strace
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Packages are missing and this is not root; run as root or install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
