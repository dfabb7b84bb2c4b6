#!/usr/bin/env bash
# Many cameras against one local nginx holding a small picture per camera, every 5 s, a tenth of
# them silent (a server that accepts and never answers), side by side in one run:
#   A: one tessaly-capture --cameras DIR for all of them;
#   B: the same cameras as one tessaly-capture process each.
# For each: the share of the answering cameras' fetches that reach the server within 100 ms of
# their tick (ticks counted from each camera's first request; a tick without a request counts
# as late), the peak RSS (B: of all processes summed), and whether every stored picture is the
# camera's own, byte for byte. Goals for A: at least 99 % on time, under 100 MiB.
# With STATUS=1 the process per camera is left out and the one process runs twice instead: plain,
# then with --listen while /metrics is scraped every second and the status page's JSON polled
# (two pages a second); it reports the endpoint's latency (median, 99th percentile, worst) and
# the RSS --listen adds. Goals with --listen: still 99 % on time, a p99 under 100 ms.
# EXTRA_ARGS: more tessaly-capture options for the one process (e.g. another watcher's).
# Usage: bench/cameras_bench.sh [build dir] [seconds per run, default 600] [cameras, default 1000]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-"$root/build"}" && pwd)
seconds=${2:-600}
cameras=${3:-1000}
silent=$((cameras / 10))
capture=$build/cli/tessaly-capture
work=$(mktemp -d /tmp/tessaly-cameras-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid" 2>/dev/null)" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)"
# The catalog of the stored pictures goes with the run, not into the user's own.
export XDG_STATE_HOME=$work/state

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
mkdir -p "$work/www"
for i in $(seq -f %04g 0 $((cameras - 1))); do head -c $((2048 + 10#$i)) /dev/urandom >"$work/www/$i.jpg"; done
port=$(free_port)
cat >"$work/nginx.conf" <<CONF
$([ "$(id -u)" = 0 ] && echo "user root;")
worker_processes 1;
worker_rlimit_nofile 16384;
error_log stderr;
events { worker_connections 8192; }
http {
  log_format tick '\$msec \$uri';
  access_log $work/access.log tick;
  server { listen 127.0.0.1:$port backlog=4096; root $work/www; }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" -g "daemon off; pid $work/nginx.pid;" 2>"$work/nginx.log" &
pids+=($!)
silent_port=$(free_port)
python3 - "$silent_port" >"$work/silent.log" 2>&1 <<'PY' &
import socket, sys, select
# Accepts and never answers; every connection is held until the client gives up.
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", int(sys.argv[1])))
server.listen(4096)
held = []
while True:
    conn, _ = server.accept()
    held.append(conn)
PY
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/0000.jpg" && break; sleep 0.05; done

# Settings files: camera c0000 fetches 0000.jpg into out/c0000; the last tenth are silent.
setup() {  # setup DIR
  mkdir -p "$1/cams" "$1/out"
  for i in $(seq -f %04g 0 $((cameras - 1))); do
    local url=http://127.0.0.1:$port/$i.jpg
    [ $((10#$i)) -ge $((cameras - silent)) ] && url=http://127.0.0.1:$silent_port/$i.jpg
    mkdir "$1/out/c$i"
    printf '%s\r\n5\r\n0\r\n0\r\n%s\r\n1\r\n' "$url" "$1/out/c$i" >"$1/cams/c$i"
  done
}

rss_kib() {  # rss_kib PID... -> summed VmRSS, read by one process so as to disturb little
  printf '/proc/%s/status\n' "$@" | xargs awk '/^VmRSS:/ {s += $2} END {print s + 0}' 2>/dev/null
}

# run NAME: runs the cameras of $work/NAME for $seconds and reports.
report() {  # report NAME STARTED ENDED PEAK_KIB
  local name=$1
  python3 - "$work/access.log" "$2" "$3" "$work/$name" "$work/www" "$cameras" "$silent" "$4" "$name" <<'PY'
import collections, filecmp, os, sys
log, started, ended, run, www, cameras, silent, peak, name = sys.argv[1:]
started, ended, cameras, silent, peak = float(started), float(ended), int(cameras), int(silent), int(peak)
arrivals = collections.defaultdict(list)
for line in open(log):
    msec, uri = line.split()
    t = float(msec)
    if started <= t <= ended:
        arrivals[uri[1:5]].append(t)
answering = [f"{i:04d}" for i in range(cameras - silent)]
ticks = on_time = 0
worst = 0.0
for cam in answering:
    times = sorted(arrivals.get(cam, []))
    if not times:
        continue
    first = times[0]
    expected = int((ended - 1.0 - first) // 5) + 1  # ticks that had a second to arrive
    slots = {}
    for t in times:
        k = round((t - first) / 5)
        late = t - (first + 5 * k)
        if k < expected and late >= -0.1:
            slots[k] = min(slots.get(k, 99), late)
    ticks += expected
    on_time += sum(1 for late in slots.values() if late <= 0.1)
    worst = max([worst] + list(slots.values()))
missing = len([c for c in answering if c not in arrivals])
bad = stored = 0
for cam in answering:
    directory = os.path.join(run, "out", "c" + cam)
    for picture in os.listdir(directory):
        stored += 1
        if not filecmp.cmp(os.path.join(directory, picture), os.path.join(www, cam + ".jpg"), shallow=False):
            bad += 1
share = 100.0 * on_time / ticks if ticks else 0.0
print(f"{name}: {cameras} cameras ({silent} silent), {ended - started:.0f} s: "
      f"{on_time}/{ticks} ticks on time within 100 ms ({share:.2f} %), worst {worst * 1000:.0f} ms, "
      f"{missing} answering cameras never fetched; peak RSS {peak / 1024:.1f} MiB; "
      f"{stored} pictures stored, {bad} not exact")
PY
}

# A: one process for all cameras; run_one NAME [OPTIONS...].
run_one() {
  local name=$1
  shift
  setup "$work/$name"
  started=$(date +%s.%N)
  # shellcheck disable=SC2086
  "$capture" --quiet --cameras "$work/$name/cams" "$@" ${EXTRA_ARGS:-} >"$work/$name.out" 2>"$work/$name.err" &
  one=$!
  pids+=($one)
  peak=0
  end=$(($(date +%s) + seconds))
  while [ "$(date +%s)" -lt "$end" ]; do
    rss=$(rss_kib $one)
    [ "$rss" -gt "$peak" ] && peak=$rss
    sleep 1
  done
  ended=$(date +%s.%N)
  kill -TERM $one
  wait $one || true
  report "$name" "$started" "$ended" "$peak"
}
run_one one
[ "${STATUS:-0}" = 1 ] || {
# B: a process per camera.
setup "$work/many"
started=$(date +%s.%N)
many=()
for i in $(seq -f %04g 0 $((cameras - 1))); do
  "$capture" --quiet --settings "$work/many/cams/c$i" >>"$work/many.out" 2>>"$work/many.err" &
  many+=($!)
  pids+=($!)
done
peak=0
end=$(($(date +%s) + seconds))
while [ "$(date +%s)" -lt "$end" ]; do
  rss=$(rss_kib "${many[@]}")
  [ "$rss" -gt "$peak" ] && peak=$rss
  sleep 1
done
ended=$(date +%s.%N)
kill -TERM "${many[@]}" 2>/dev/null || true
wait "${many[@]}" 2>/dev/null || true
report many "$started" "$ended" "$peak"
exit 0
}

# The one process again with its status endpoint, scraped as Prometheus and a browser would.
status_port=$(free_port)
python3 - "$status_port" "$seconds" >"$work/scrape.log" 2>&1 <<'PY' &
import http.client, sys, threading, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
times = {"/metrics": [], "/cameras.json": []}
failures = []
def poll(paths, every):
    # One keep-alive connection each, as a scraper and a page hold theirs.
    connection = None
    end = time.monotonic() + seconds
    i = 0
    while time.monotonic() < end:
        path = paths[i % len(paths)]
        i += 1
        started = time.monotonic()
        # A kept connection the server closed as the request went out is asked again on a new
        # one, as browsers and Prometheus' client do for a GET; any other failure counts.
        for attempt in (0, 1):
            reused = connection is not None
            try:
                connection = connection or http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                connection.request("GET", path)
                response = connection.getresponse()
                response.read()
                if response.status == 200:
                    times[path.split("?")[0]].append(time.monotonic() - started)
                else:
                    failures.append(response.status)
                break
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError) as e:
                connection = None
                if not reused or attempt == 1:
                    failures.append(str(e))
                    break
            except OSError as e:
                failures.append(str(e))
                connection = None
                break
        time.sleep(max(0.0, every - (time.monotonic() - started)))
pages = [f"/cameras.json?page={p}&per=48" for p in range(21)]
threads = [threading.Thread(target=poll, args=(["/metrics"], 1.0)),
           threading.Thread(target=poll, args=(pages, 0.5))]
# The program binds once its cameras are set up.
while True:
    try:
        http.client.HTTPConnection("127.0.0.1", port, timeout=1).request("HEAD", "/health"); break
    except OSError:
        time.sleep(0.2)
for t in threads: t.start()
for t in threads: t.join()
for path, got in times.items():
    got.sort()
    if not got:
        print(f"{path}: no answers"); continue
    q = lambda f: got[min(len(got) - 1, int(f * len(got)))] * 1000
    print(f"{path}: {len(got)} answers, median {q(0.5):.1f} ms, p99 {q(0.99):.1f} ms, worst {got[-1] * 1000:.1f} ms")
print(f"failed requests: {len(failures)} {failures[:5]}")
PY
scraper=$!
pids+=($scraper)
run_one listen --listen "127.0.0.1:$status_port"
wait $scraper || true
cat "$work/scrape.log"
