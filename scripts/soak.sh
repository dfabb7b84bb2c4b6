#!/usr/bin/env bash
# Soak run, not part of the default test run: scripts/soak.sh [minutes]   (default 3)
#
# Starts the chaos server (tests/soak/chaos_server.py) on 127.0.0.1 and a free port, runs a
# capture series at a one-second interval for the given minutes through the real fetch job
# (tests/soak/tessaly_soak_driver), samples the driver's VmRSS/VmHWM from /proc every second, and
# then checks (tests/soak/verify.py) that the stored files are exactly the complete bodies
# served, none lost, truncated or overwritten, and that the memory did not grow after warm-up.
#
# Environment: TESSALY_SOAK_BUILD (build directory, default build-soak), TESSALY_SOAK_JOBS
# (build jobs, default 2), TESSALY_SOAK_CMAKE_ARGS (extra configure arguments),
# TESSALY_SOAK_TIMEOUT_MS (how long the driver lets one job run before stopping it, default
# 3000), TESSALY_SOAK_SEED (the server's random seed), TESSALY_SOAK_KEEP=1 (keep the work
# directory even when the run passes).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-3}
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -lt 1 ]; then
  echo "usage: $0 [minutes]" >&2
  exit 2
fi
seconds=$((minutes * 60))
build=${TESSALY_SOAK_BUILD:-$root/build-soak}
timeout_ms=${TESSALY_SOAK_TIMEOUT_MS:-3000}
# Well beyond the driver's patience, so that a stalled answer is always given up on.
stall_seconds=$(((timeout_ms + 999) / 1000 + 2))

echo "== building the soak driver in $build"
# shellcheck disable=SC2086  # extra arguments are meant to split
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_BENCH=OFF \
  ${TESSALY_SOAK_CMAKE_ARGS:-} >/dev/null
if ! cmake --build "$build" --target tessaly_soak_driver -j"${TESSALY_SOAK_JOBS:-2}"; then
  echo "the soak driver did not build: is tests/soak added to the build (add_subdirectory(soak)" \
    "in tests/CMakeLists.txt)?" >&2
  exit 1
fi
driver=$(find "$build" -type f -name tessaly_soak_driver -perm -u+x | head -n 1)

work=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-soak.XXXXXX")
server_pid=""
driver_pid=""
cleanup() {
  if [ -n "$driver_pid" ]; then kill "$driver_pid" 2>/dev/null || true; fi
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
}
trap cleanup EXIT

seed_args=()
[ -n "${TESSALY_SOAK_SEED:-}" ] && seed_args=(--seed "$TESSALY_SOAK_SEED")
python3 "$root/tests/soak/chaos_server.py" --port-file "$work/port" --log "$work/served.jsonl" \
  --seconds $((seconds + 60)) --max-requests $((seconds * 2 + 100)) --stall "$stall_seconds" \
  "${seed_args[@]}" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if ! [ -s "$work/port" ]; then
  echo "the chaos server did not start:" >&2
  cat "$work/server.log" >&2
  exit 1
fi
port=$(cat "$work/port")

mkdir "$work/series"
# A file the series will reach by its own naming: it must survive untouched.
decoy=image_00000003.jpg
printf 'decoy' >"$work/series/$decoy"

echo "== soak: $minutes min at a 1 s interval against http://127.0.0.1:$port/cam/image.jpg"
TESSALY_SOAK_TIMEOUT_MS=$timeout_ms "$driver" "http://127.0.0.1:$port/cam/image.jpg" \
  "$work/series" "$seconds" 0 >"$work/driver.log" 2>&1 &
driver_pid=$!
started=$(date +%s.%N)
: >"$work/memory.txt"
while kill -0 "$driver_pid" 2>/dev/null; do
  if status=$(cat "/proc/$driver_pid/status" 2>/dev/null); then
    rss=$(awk '/^VmRSS:/ {print $2}' <<<"$status")
    hwm=$(awk '/^VmHWM:/ {print $2}' <<<"$status")
    if [ -n "$rss" ] && [ -n "$hwm" ]; then
      now=$(date +%s.%N)
      echo "$(awk -v a="$started" -v b="$now" 'BEGIN {printf "%.1f", b - a}') $rss $hwm" \
        >>"$work/memory.txt"
    fi
  fi
  sleep 1
done
driver_rc=0
wait "$driver_pid" || driver_rc=$?
driver_pid=""
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""

echo "== driver: $(grep '^summary' "$work/driver.log" || echo 'no summary')"
verify_rc=0
python3 "$root/tests/soak/verify.py" --served "$work/served.jsonl" --driver-log "$work/driver.log" \
  --memory "$work/memory.txt" --dir "$work/series" --decoy "$decoy" --decoy-content decoy ||
  verify_rc=$?
if [ "$driver_rc" -ne 0 ]; then
  echo "the driver exited with $driver_rc (a job showed a message box?)"
fi
if [ "$driver_rc" -ne 0 ] || [ "$verify_rc" -ne 0 ] || [ "${TESSALY_SOAK_KEEP:-0}" = 1 ]; then
  echo "work directory kept: $work"
  [ "$driver_rc" -eq 0 ] && [ "$verify_rc" -eq 0 ]
  exit $?
fi
rm -rf "$work"
