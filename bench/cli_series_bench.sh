#!/usr/bin/env bash
# 200 fetches of a 200 KiB picture from a local nginx, back to back, each stored and synced to
# disk: tessaly-capture --every 0 --count 200 against a shell loop of `curl -s -o FILE` with
# `sync FILE` after each (and, for reference, the same loop unsynced and one curl process
# fetching all 200). All write into the build directory's file system. Three rounds each; the
# median counts.  Usage: bench/cli_series_bench.sh [build dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-"$root/build"}" && pwd)
capture=$build/cli/tessaly-capture
fetches=200
work=$(mktemp -d "$build/cli-bench.XXXXXX")
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/localnginx.sh
source "$root/bench/localnginx.sh"
local_nginx 200

now_ms() { echo $(($(date +%s%N) / 1000000)); }
fresh() { rm -rf "$work/out" && mkdir "$work/out" && sync; }

run_capture() { "$capture" --quiet --every 0 --count $fetches "$url" "$work/out"; }
run_curl_synced() {
  for i in $(seq $fetches); do
    curl -s -o "$work/out/snap_$i.jpg" "$url"
    sync "$work/out/snap_$i.jpg"
  done
}
run_curl_loop() { for i in $(seq $fetches); do curl -s -o "$work/out/snap_$i.jpg" "$url"; done; }
run_curl_once() {
  local args=()
  for i in $(seq $fetches); do args+=(-o "$work/out/snap_$i.jpg" "$url"); done
  curl -s "${args[@]}"
}

median_ms() {  # median_ms <function>: the median of three timed rounds, in ms
  local times=()
  for _ in 1 2 3; do
    fresh
    local start
    start=$(now_ms)
    "$1"
    times+=($(($(now_ms) - start)))
    local stored
    stored=$(find "$work/out" -type f -size $((200 * 1024))c | wc -l)
    [ "$stored" = $fetches ] || { echo "$1 stored $stored of $fetches pictures" >&2; exit 1; }
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 2p
}

capture_ms=$(median_ms run_capture)
synced_ms=$(median_ms run_curl_synced)
loop_ms=$(median_ms run_curl_loop)
once_ms=$(median_ms run_curl_once)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "file system: $(df -T "$work" | awk 'NR == 2 {print $2}')"
echo "tessaly-capture --every 0 --count $fetches: $capture_ms ms"
echo "curl loop with sync per file:             $synced_ms ms  (tessaly / this = $(ratio "$capture_ms" "$synced_ms"))"
echo "curl loop without sync:                   $loop_ms ms  (tessaly / this = $(ratio "$capture_ms" "$loop_ms"))"
echo "one curl process, $fetches fetches, no sync:  $once_ms ms  (tessaly / this = $(ratio "$capture_ms" "$once_ms"))"
if [ "$capture_ms" -ge "$synced_ms" ]; then
  echo "goal missed: tessaly-capture is not faster than the synced curl loop" >&2
  exit 1
fi
