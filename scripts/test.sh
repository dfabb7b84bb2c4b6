#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: first the Release build in
# build/, then the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threaded tests under ThreadSanitizer. Set TESSALY_QUICK=1 to run the Release pass alone. The
# benchmarks are not built here (scripts/build.sh with -DTESSALY_BENCH=ON builds them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" build tests peers package

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

run_suite() {  # run_suite <build dir> [ctest args...]
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300 "$@"
}

echo "== Includes point downward"
"$root/scripts/check_includes.sh"

echo "== Release build and tests"
"$root/scripts/build.sh" "$root/build" -DTESSALY_TESTS=ON -DTESSALY_BENCH=OFF
run_suite "$root/build"
echo "== Debian package"
"$root/scripts/package.sh"
echo "== The service under a real systemd (README's service steps, in a container)"
"$root/tests/systemd/run.sh" "$root/build-package" "$root/build/tests/capture_tests"

if [ "${TESSALY_QUICK:-0}" = 1 ]; then
  exit 0
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
"$root/scripts/build.sh" "$root/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSALY_ASAN=ON -DTESSALY_TSAN=OFF -DTESSALY_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$root/build-asan"

echo "== ThreadSanitizer (the threaded tests: scheduler, worker, window)"
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSALY_TSAN=ON -DTESSALY_ASAN=OFF -DTESSALY_BENCH=OFF >/dev/null
cmake --build "$root/build-tsan" -j"$jobs" --target capture_tests app_tests media_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite "$root/build-tsan" -R '^(capture|app|media)\.'
