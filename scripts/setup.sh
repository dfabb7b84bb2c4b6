#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages; quick when all is there.
#   scripts/setup.sh [build] [tests] [peers] [package] [fuzz]   (no word: all of them)
# build: what building and running the programs needs; tests: the test and benchmark libraries;
# peers: the servers and tools the tests talk to; package: what scripts/package.sh checks with
# and what tests/systemd/run.sh boots (systemd, unshare, nsenter, pgrep);
# fuzz: clang for the libFuzzer targets. The peers' own system services are neither started nor
# enabled: the tests start copies of their own on 127.0.0.1.
set -euo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++ pkg-config qt6-base-dev libssl-dev libnova-dev libsystemd-dev libsqlite3-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libcpp-httplib-dev libmosquitto-dev"
  [tests]="libgtest-dev libgmock-dev libbenchmark-dev"
  [peers]="nginx-light lighttpd ffmpeg python3 curl time openssl gnutls-bin python3-ephem microsocks dante-server tinyproxy xvfb python3-xlib chromium python3-prometheus-client mosquitto mosquitto-clients python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gst-plugins-base-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly"
  [package]="dpkg-dev file desktop-file-utils lintian devscripts help2man man-db systemd strace util-linux procps"
  [fuzz]="clang libclang-rt-14-dev"
)
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(build tests peers package fuzz)

missing=()
peers=()
for group in "${wanted[@]}"; do
  [ -n "${groups[$group]:-}" ] || { echo "setup: no group '$group'" >&2; exit 2; }
  for p in ${groups[$group]}; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' && continue
    missing+=("$p")
    [ "$group" != peers ] || peers+=("$p")
  done
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Packages are missing and this is not root; run as root or install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
others=()
for p in "${missing[@]}"; do [[ " ${peers[*]} " == *" $p "* ]] || others+=("$p"); done
[ ${#others[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${others[@]}"
[ ${#peers[@]} -gt 0 ] || exit 0

# While the peers install, no service may start (Debian's policy-rc.d protocol: 101 refuses);
# one already there is the administrator's and stays.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  trap 'rm -f "$policy"' EXIT
  printf '#!/bin/sh\n# Written by scripts/setup.sh while it installs test peers.\nexit 101\n' >"$policy"
  chmod 755 "$policy"
fi
# What starts at boot: the links of systemd's .wants directories and of the init scripts.
boot_links() {
  find /etc/systemd/system /etc/rc2.d /etc/rc3.d /etc/rc4.d /etc/rc5.d -type l 2>/dev/null | sort
}
before=$(boot_links)
apt-get install -y -qq --no-install-recommends "${peers[@]}"
# Nor does anything they brought (nginx's service comes with nginx-common) start at the next
# boot: what their install enabled is disabled again; what was enabled before stays.
while read -r link; do
  name=$(basename "$link")
  case $link in
  /etc/systemd/system/*.wants/*.service | /etc/systemd/system/*.wants/*.socket)
    systemctl disable --quiet "$name" 2>/dev/null || rm -f "$link"
    ;;
  /etc/rc?.d/S*)
    update-rc.d "${name#S[0-9][0-9]}" disable >/dev/null 2>&1 || true
    ;;
  esac
done < <(comm -13 <(echo "$before") <(boot_links))
