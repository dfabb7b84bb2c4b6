#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang into build-fuzz/ and runs each in turn:
#   scripts/fuzz.sh [seconds per target, default 60] [target...]   (default: every target)
# Each target starts from its seed corpus fuzz/corpus/<target>/ (never written to) and keeps
# what it finds in build-fuzz/corpus/<target>/. A crash, leak, time-out or broken invariant is
# written to build-fuzz/crashes/<target>/; the script then goes on with the other targets and
# exits non-zero at the end. Reproduce one with: build-fuzz/fuzz/fuzz_<target> <file>.
# FUZZ_KEEP_GOING=1 fuzzes in a child process that is restarted after each crash, so a known
# crash does not end the run before its time and every distinct one is kept.
# FUZZ_ARGS adds libFuzzer flags, e.g. FUZZ_ARGS="-len_control=0" to try long inputs at once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
all=(parse_int split_url location ip_text settings camera_options naming line_reads socks_reply http_response stream_part picture_check retry_after timelapse_line status_text mqtt_url rtsp_address)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

max_len() {  # longest input worth trying per target
  case $1 in
    parse_int) echo 64 ;;
    ip_text | retry_after) echo 256 ;;
    split_url | location | naming | timelapse_line | status_text | mqtt_url | rtsp_address) echo 1024 ;;
    socks_reply) echo 1024 ;;
    settings | camera_options | line_reads) echo 4096 ;;
    http_response | stream_part) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

"$root/scripts/setup.sh"
dir="$root/build-fuzz"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DTESSALY_FUZZ=ON -DTESSALY_TESTS=OFF -DTESSALY_BENCH=OFF \
  -DTESSALY_ASAN=OFF -DTESSALY_TSAN=OFF >/dev/null
cmake --build "$dir" --target fuzz_all -j"${FUZZ_BUILD_JOBS:-2}"

failed=()
for t in "${targets[@]}"; do
  binary="$dir/fuzz/fuzz_$t"
  if [ ! -x "$binary" ]; then
    echo "no such fuzz target: $t (known: ${all[*]})" >&2
    exit 2
  fi
  work="$dir/corpus/$t"
  crashes="$dir/crashes/$t"
  log="$dir/logs/$t.log"
  mkdir -p "$work" "$crashes" "$dir/logs"
  touch "$log.start"
  echo "== fuzz_$t for ${seconds}s (log: $log)"
  mode=()
  [ "${FUZZ_KEEP_GOING:-0}" = 1 ] && mode=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
  before=$(find "$crashes" -type f | wc -l)
  status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$binary" "${mode[@]}" ${FUZZ_ARGS:-} -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=30 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" \
    "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  after=$(find "$crashes" -type f | wc -l)
  if [ "$status" = 0 ] && [ "$after" = "$before" ]; then
    grep -E '^#[0-9]+' "$log" | tail -1 || true  # runs, coverage and corpus at the end
  else
    failed+=("$t")
    echo "fuzz_$t FAILED; see $log" >&2
    grep -E 'fuzz invariant broken|ERROR: |SUMMARY: ' "$log" | head -5 >&2 || true
    find "$crashes" -type f -newer "$log.start" | sed 's/^/  input: /' >&2 || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs under $dir/crashes/)" >&2
  exit 1
fi
echo "no crash in: ${targets[*]}"
