# shellcheck shell=bash
# Helpers for the steps of tests/systemd/steps.sh; sourced inside the container, where each
# step's command runs as root under bash.
set -euo pipefail

fail() {
  echo "$*" >&2
  exit 1
}

# settings NAME URL [DIRECTORY] [FILE]: a settings file of the window, one fetch a second; by
# default /etc/tessaly/NAME.ini, readable by root alone as README has it.
settings() {
  local url=$2 dir=${3:-} file=${4:-/etc/tessaly/$1.ini}
  printf '%s\n' "$url" 1 0 0 "$dir" 1 | install -D -m 600 /dev/stdin "$file"
}

# A camera's settings file for the cameras service: root's, readable by the group _tessaly.
camera() {  # camera NAME URL
  printf '%s\n' "$2" 1 0 0 '' 1 | install -m 640 -g _tessaly /dev/stdin "/etc/tessaly/cameras/$1"
}

# apt-get as README has it, quiet unless it fails.
apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -qq "$@" >/tmp/apt.log 2>&1 || { cat /tmp/apt.log >&2; return 1; }
}

prop() { systemctl show -P "$2" "$1"; }
# systemctl status, whose own status tells the unit's state: only its text matters here.
status() { systemctl status --no-pager "$@" || true; }

# wait_until SECONDS COMMAND...: true once the command is, within that time.
wait_until() {
  local seconds=$1 i
  shift
  for ((i = 0; i < seconds * 10; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# The program the unit's main process runs, as the kernel names it ("... (deleted)" once the
# file is replaced or removed).
main_exe() { readlink "/proc/$(prop "$1" MainPID)/exe"; }

# ms COMMAND...: how long the command took, in milliseconds.
ms() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

# Pictures stored in a directory; at_least N DIRECTORY: that many at least.
pictures() { find "$1" -maxdepth 1 -type f -name '*.jpg' 2>/dev/null | wc -l; }
at_least() { [ "$(pictures "$2")" -ge "$1" ]; }

# The restart counter stays where it is for SECONDS: no restart loop.
no_restart_for() {  # no_restart_for UNIT SECONDS
  local before
  before=$(prop "$1" NRestarts)
  sleep "$2"
  [ "$(prop "$1" NRestarts)" = "$before" ] || fail "$1 restarted $(($(prop "$1" NRestarts) - before)) times in $2 s"
}
