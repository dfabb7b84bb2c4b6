#!/usr/bin/env bash
# The broker's events at scale: many cameras (a small picture each) every INTERVAL against a local
# nginx, and a local mosquitto with one subscriber that counts, side by side in one run:
#   A: tessaly-capture --cameras DIR without a broker, the base line;
#   B: the same with --mqtt to the local mosquitto (a message per stored picture, the states,
#      discovery and a picture per camera every 10 s);
#   C: the same without --mqtt, its lines piped into mosquitto_pub -l, as administrators wire it
#      by hand today.
# For each: the share of ticks whose request reached nginx within 100 ms (as cameras_bench.sh
# counts them), the peak RSS of tessaly-capture, the pictures stored and the stored-picture
# messages the subscriber received. B's RSS less A's is the memory the events add.
# Usage: bench/mqtt_bench.sh [build dir] [seconds per run, default 60] [cameras, default 1000]
#        [interval in seconds, default 1]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-"$root/build"}" && pwd)
seconds=${2:-60}
cameras=${3:-1000}
interval=${4:-1}
every=$(python3 -c "print(round($interval * 1000))")ms  # the settings file keeps whole seconds
capture=$build/cli/tessaly-capture
work=$(mktemp -d /tmp/tessaly-mqtt-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid" 2>/dev/null)" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)"
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
broker=$(free_port)
printf '%s\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$([ "$(id -u)" = 0 ] && echo "user root")" \
  "$broker" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/0000.jpg" && break; sleep 0.05; done

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

# run NAME [tessaly-capture options...]: the cameras of $work/NAME for $seconds, then the report.
run() {
  local name=$1
  shift
  mkdir -p "$work/$name/cams" "$work/$name/out"
  for i in $(seq -f %04g 0 $((cameras - 1))); do
    mkdir "$work/$name/out/c$i"
    printf 'http://127.0.0.1:%s/%s.jpg\r\n%s\r\n0\r\n0\r\n%s\r\n1\r\n' "$port" "$i" "$interval" \
      "$work/$name/out/c$i" >"$work/$name/cams/c$i"
  done
  mosquitto_sub -p "$broker" -q 1 -t "$name/+/stored" -t "$name/lines" >"$work/$name.sub" 2>&1 &
  local sub=$!
  pids+=($sub)
  sleep 0.5
  local started one peak=0 end
  started=$(date +%s.%N)
  if [ "$name" = piped ]; then
    "$capture" --every "$every" --cameras "$work/$name/cams" "$@" 2>"$work/$name.err" |
      mosquitto_pub -p "$broker" -q 1 -l -t "$name/lines" &
    sleep 0.2
    one=$(pgrep -n -f "$capture --every $every --cameras $work/$name/cams")
  else
    "$capture" --quiet --every "$every" --cameras "$work/$name/cams" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    one=$!
  fi
  pids+=($one)
  end=$(($(date +%s) + seconds))
  while [ "$(date +%s)" -lt "$end" ]; do
    rss=$(rss_kib "$one")
    [ "$rss" -gt "$peak" ] && peak=$rss
    sleep 1
  done
  local ended
  ended=$(date +%s.%N)
  kill -TERM "$one"
  wait 2>/dev/null "$one" || true
  sleep 2
  kill "$sub" 2>/dev/null || true
  python3 - "$work/access.log" "$started" "$ended" "$work/$name" "$cameras" "$peak" "$name" \
    "$interval" "$work/$name.sub" <<'PY'
import collections, os, sys
log, started, ended, run, cameras, peak, name, interval, sub = sys.argv[1:]
started, ended, cameras, peak, interval = float(started), float(ended), int(cameras), int(peak), float(interval)
arrivals = collections.defaultdict(list)
for line in open(log):
    msec, uri = line.split()
    t = float(msec)
    if started <= t <= ended:
        arrivals[uri[1:5]].append(t)
ticks = on_time = 0
for cam in (f"{i:04d}" for i in range(cameras)):
    times = sorted(arrivals.get(cam, []))
    if not times:
        continue
    first = times[0]
    expected = int((ended - 1.0 - first) // interval) + 1
    slots = {}
    for t in times:
        k = round((t - first) / interval)
        late = t - (first + interval * k)
        if k < expected and late >= -0.1:
            slots[k] = min(slots.get(k, 99), late)
    ticks += expected
    on_time += sum(1 for late in slots.values() if late <= 0.1)
stored = sum(len(os.listdir(os.path.join(run, "out", d))) for d in os.listdir(os.path.join(run, "out")))
messages = sum(1 for line in open(sub) if '"path"' in line or " stored " in line)
share = 100.0 * on_time / ticks if ticks else 0.0
print(f"{name}: {cameras} cameras every {interval:g} s, {ended - started:.0f} s: {on_time}/{ticks} ticks "
      f"on time within 100 ms ({share:.2f} %); peak RSS {peak / 1024:.1f} MiB; {stored} pictures "
      f"stored, {messages} stored-picture messages received ({messages / (ended - started):.0f}/s)")
PY
}

run plain
run mqtt --mqtt "mqtt://127.0.0.1:$broker/mqtt"
run piped
grep -h "mqtt:" "$work/mqtt.err" || true
