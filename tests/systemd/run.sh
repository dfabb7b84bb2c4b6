#!/usr/bin/env bash
# The service under a real systemd: boots systemd as PID 1 in namespaces of its own on an overlay
# of this machine's root (tests/systemd/container.sh), installs the freshly built tessaly-capture
# package there and runs README's service steps as checks, the rows of tests/systemd/steps.sh,
# each with the unit state and the journal line it must leave. Nothing of it reaches the machine.
#
#   tests/systemd/run.sh [DIR [CAPTURE_TESTS]]
#     DIR: where scripts/package.sh built the packages (default build-package)
#     CAPTURE_TESTS: the capture core's test program (build/tests/capture_tests), whose case
#     that sets the machine's clock runs here, as root, and nowhere else
#
# It skips, saying so, only where the machine cannot run it at all: not root, or no unshare or
# nsenter, or namespaces refused. Any other fault fails it. TESSALY_SYSTEMD_KEEP=1 keeps the
# container's files (journal included) in the directory it names at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
debs=${1:-$root/build-package}
capture_tests=${2:+$(realpath "$2")}

skip() {
  echo "systemd checks SKIPPED: $* (they need root, util-linux's unshare and nsenter)"
  exit 0
}
[ "$(id -u)" = 0 ] || skip "not root"
if ! command -v unshare >/dev/null || ! command -v nsenter >/dev/null; then skip "no unshare or nsenter"; fi
[ -x /lib/systemd/systemd ] || skip "no /lib/systemd/systemd"
probe=$(unshare --pid --fork --mount --uts --ipc --net --cgroup true 2>&1) ||
  skip "this machine refuses new namespaces: $probe"

capture=$(ls "$debs"/tessaly-capture_*.deb 2>/dev/null | head -1)
[ -n "$capture" ] || { echo "systemd checks: no tessaly-capture package in $debs (scripts/package.sh builds it)" >&2; exit 1; }

# shellcheck source=tests/systemd/container.sh
source "$here/container.sh"
work=$(mktemp -d /tmp/tessaly-systemd.XXXXXX)
cleanup() {
  container_stop
  if [ "${TESSALY_SYSTEMD_KEEP:-0}" = 1 ]; then echo "container's console: $work/ct.console"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The build under test, and the same build with a higher version: the upgrade's new package.
version=$(dpkg-deb -f "$capture" Version)
mkdir "$work/next" "$work/tree"
dpkg-deb -R "$capture" "$work/tree"
sed -i "s/^Version: .*/Version: $version+systemd1/" "$work/tree/DEBIAN/control"
dpkg-deb --root-owner-group -Zxz --build "$work/tree" "$work/next/tessaly-capture_${version}+systemd1_test.deb" >/dev/null

started=$(date +%s)
container_boot "$work/ct" || { echo "systemd checks: the container did not boot" >&2; exit 1; }
echo "systemd $(container_run systemctl --version | sed -n '1s/systemd \([0-9]*\).*/\1/p') booted in the container in $(($(date +%s) - started)) s"
# What the steps get: the packages and the helpers, in the container's own /var/tmp.
container_run mkdir -p /var/tmp/tessaly-test/next
container_run sh -c 'cat >/var/tmp/tessaly-test/$1' sh "$(basename "$capture")" <"$capture"
container_run sh -c 'cat >/var/tmp/tessaly-test/next/$1' sh "$(basename "$work"/next/*.deb)" <"$work"/next/*.deb
container_run sh -c 'cat >/var/tmp/tessaly-test/lib.sh' <"$here/lib.sh"

# Rows marked --after reload need the program's reload; they run once the program's --help tells
# of it. The row marked --after capture-tests needs CAPTURE_TESTS.
features=" "
if [ -n "$capture_tests" ]; then
  [ -x "$capture_tests" ] || { echo "systemd checks: no test program $capture_tests" >&2; exit 1; }
  features+="capture-tests "
  # Where the container sees it: its own /tmp hides the machine's (a clone under /tmp, say).
  container_run sh -c 'cat >/var/tmp/tessaly-test/capture_tests && chmod 755 /var/tmp/tessaly-test/capture_tests' \
    <"$capture_tests"
  capture_tests=/var/tmp/tessaly-test/capture_tests
fi
dpkg-deb --fsys-tarfile "$capture" | tar -xO ./usr/bin/tessaly-capture >"$work/program"
chmod +x "$work/program"
if [[ $("$work/program" --help) == *reload* ]]; then
  features+="reload "
fi

passed=0
failed=0
skipped=()
# step [--after FEATURE] NAME UNIT STATE JOURNAL COMMAND: runs COMMAND inside (bash, lib.sh
# sourced, STEP_CURSOR the journal's cursor before it); then, within 20 s, UNIT must be in STATE
# (ActiveState/SubState, "-" for any) and a line of UNIT's journal since the step must match the
# extended expression JOURNAL ("-" for none).
step() {
  local after=
  if [ "$1" = --after ]; then after=$2; shift 2; fi
  local name=$1 unit=$2 state=$3 line=$4 command=$5
  if [ -n "$after" ] && [[ $features != *" $after "* ]]; then
    skipped+=("$name")
    echo "SKIP  $name (not here: $after)"
    return 0
  fi
  local cursor out status=0 now='' seen_state='' seen_line='' i
  cursor=$(container_run journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')
  out=$(container_run env STEP_CURSOR="$cursor" bash -c "source /var/tmp/tessaly-test/lib.sh; $command" 2>&1) ||
    status=$?
  if [ "$status" = 0 ]; then
    for ((i = 0; i < 200; i++)); do
      if [ "$state" != - ]; then
        now=$(container_run systemctl show -P ActiveState "$unit")/$(container_run systemctl show -P SubState "$unit")
        [ "$now" = "$state" ] && seen_state=1
      else
        seen_state=1
      fi
      if [ "$line" != - ]; then
        local units=()
        [ "$unit" = - ] || units=(-u "$unit")
        container_run journalctl -q --no-pager -o cat --after-cursor="$cursor" "${units[@]}" |
          grep -E -q -- "$line" && seen_line=1
      else
        seen_line=1
      fi
      [ -n "$seen_state" ] && [ -n "$seen_line" ] && break
      seen_state=
      sleep 0.1
    done
  fi
  if [ "$status" = 0 ] && [ -n "$seen_state" ] && [ -n "$seen_line" ]; then
    passed=$((passed + 1))
    echo "ok    $name${out:+: ${out//$'\n'/ }}"
    return 0
  fi
  failed=$((failed + 1))
  echo "FAIL  $name"
  [ "$status" = 0 ] || echo "      the command ended with status $status: $out"
  [ "$status" != 0 ] || [ -n "$seen_state" ] || echo "      $unit is $now, not $state"
  [ "$status" != 0 ] || [ -n "$seen_line" ] || echo "      no journal line of $unit matches: $line"
  echo "      --- its journal since the step:"
  container_run journalctl -q --no-pager -o short-monotonic --after-cursor="$cursor" | tail -n 40 | sed 's/^/      /'
  [ "$unit" = - ] || container_run systemctl status --no-pager -n 0 "$unit" 2>&1 | sed 's/^/      /' || true
}

# shellcheck source=tests/systemd/steps.sh
source "$here/steps.sh"

echo "Not checked in this container: MemoryMax= and TasksMax= (it has no memory or pids controller;"
echo "systemd accepts them but nothing enforces them), and a network beyond the loopback."
echo "systemd checks: $passed passed, $failed failed, ${#skipped[@]} skipped, in $(($(date +%s) - started)) s"
[ "$failed" = 0 ]
