#!/usr/bin/env bash
# Kills a fast series with retention (--every 0 --keep-size 200K, 20 KiB pictures from a local
# nginx) with SIGKILL at random moments, KILLS times; after each kill the next start (one
# picture stored) must leave the series' rows and its files one to one, and the files within
# 200 KiB. Prints how many kills left an intent or a removal open, and every fault.
# Usage: bench/kill_series.sh [build dir] [kills]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-"$root/build"}" && pwd)
kills=${2:-200}
capture=$build/cli/tessaly-capture
work=$(mktemp -d "$build/kill-series.XXXXXX")
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/pics" "$work/state"
# shellcheck source=bench/localnginx.sh
source "$root/bench/localnginx.sh"
local_nginx 20
export XDG_STATE_HOME=$work/state
unset STATE_DIRECTORY
catalog=$work/state/tessaly/catalog.sqlite

# "OPEN ROWS FILES BYTES": rows left open (intents, removals), then what does not match.
look() {
  python3 - "$catalog" "$work/pics" <<'PY'
import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
columns = [c[1] for c in db.execute("PRAGMA table_info(picture)")]
pending = "pending" if "pending" in columns else "0"  # a catalog of the version before
rows = {f.decode() if isinstance(f, bytes) else f: p for f, p in db.execute("SELECT file, " + pending + " FROM picture")}
files = {n: os.lstat(os.path.join(sys.argv[2], n)).st_size for n in os.listdir(sys.argv[2])}
open_rows = sum(1 for p in rows.values() if p != 0)
print(open_rows, len(set(files) - set(rows)), len(set(rows) - set(files)), sum(files.values()))
PY
}

open_intents=0 faults=0 most=0 stored=0
for kill in $(seq "$kills"); do
  "$capture" --every 0 --keep-size 200K --quiet "$url" "$work/pics" >/dev/null 2>&1 &
  pid=$!
  sleep "0.$(printf '%03d' $((RANDOM % 400 + 5)))"
  kill -9 "$pid"
  wait "$pid" 2>/dev/null || true
  read -r open _ _ _ < <(look)
  [ "$open" -gt 0 ] && open_intents=$((open_intents + 1))
  "$capture" --every 0 --count 1 --keep-size 200K --quiet "$url" "$work/pics" >/dev/null 2>&1
  read -r open unrowed unfiled bytes < <(look)
  if [ "$open" -ne 0 ] || [ "$unrowed" -ne 0 ] || [ "$unfiled" -ne 0 ] || [ "$bytes" -gt $((200 * 1024)) ]; then
    faults=$((faults + 1))
    echo "kill $kill: $open open rows, $unrowed pictures without a row, $unfiled rows without a picture, $bytes bytes"
  fi
  [ "$bytes" -gt "$most" ] && most=$bytes
done
names=$(ls "$work/pics" | sort | tail -1)
echo "$kills kills: $open_intents left a row open (settled at the next start), $faults faults;" \
  "the directory held at most $most bytes (limit $((200 * 1024))); last picture $names"
[ "$faults" -eq 0 ]
