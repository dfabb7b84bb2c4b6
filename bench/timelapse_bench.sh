#!/usr/bin/env bash
# A film of catalogued 1280x720 JPEGs at 30 fps: tessaly-capture timelapse against the ffmpeg
# program on the same pictures (ffmpeg -framerate 30 -pattern_type glob -i '*.jpg' -c:v
# libx264), both with x264 at the same --crf and --preset, side by side for each number of
# pictures. Reports wall time, CPU time (user + system) and peak RSS of each (/usr/bin/time -v).
# The 2,000 pictures are made once with ffmpeg's testsrc (kept in BUILD/timelapse-bench/); larger
# series are the same files again as hard links, catalogued with --adopt in a catalog of the
# bench's own.
#   Usage: bench/timelapse_bench.sh [build dir] [counts, default "200 2000 20000"]
#   PRESET=medium CRF=23 (x264's), FFMPEG_TOO=0 leaves the ffmpeg program out (memory rows only)
# Goals: no slower than the ffmpeg program, peak RSS within 1.2 times its own, and the same peak
# RSS for every count.
#
# Results (2 cores shared with other builds, load about 10; Debian 12, FFmpeg 5.1, x264 164;
# PRESET=medium CRF=23), wall s / CPU s / peak RSS MiB:
#      200  tessaly-capture timelapse    4.8 /  3.4 / 168.6    ffmpeg    4.5 /  3.4 / 395.0
#    2,000  tessaly-capture timelapse   63.1 / 31.6 / 170.4    ffmpeg   64.3 / 29.4 / 396.9
#   20,000  tessaly-capture timelapse  482.0 / 322.5 / 175.5    (FFMPEG_TOO=0)
# The film's peak RSS is 43 % of the ffmpeg program's and within 4 % for every count.
# PRESET=ultrafast FFMPEG_TOO=0: 200 pictures 1.3 / 1.6 / 61.5, 20,000 pictures 224.7 / 154.7 / 63.7.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-"$root/build"}" && pwd)
counts=${2:-"200 2000 20000"}
preset=${PRESET:-medium}
crf=${CRF:-23}
capture=$build/cli/tessaly-capture
url=http://127.0.0.1/snap.jpg
pool=$build/timelapse-bench/pool
work=$(mktemp -d "$build/timelapse-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ "$(find "$pool" -name '*.jpg' 2>/dev/null | wc -l)" != 2000 ]; then
  rm -rf "$pool" && mkdir -p "$pool"
  ffmpeg -loglevel error -f lavfi -i testsrc=s=1280x720:r=30 -frames:v 2000 -q:v 3 \
    "$pool/snap_%08d.jpg"
fi

# measure NAME COMMAND...: one row "NAME wall_s cpu_s peak_rss_MiB"
measure() {
  local name=$1 log=$work/time.log
  shift
  /usr/bin/time -v -o "$log" "$@" >/dev/null 2>"$work/stderr" ||
    { cat "$work/stderr" "$log" >&2; return 1; }
  awk -v name="$name" -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, t, ":"); wall = (n == 3 ? t[1] * 3600 + t[2] * 60 + t[3] : t[1] * 60 + t[2]) }
    /User time/ { cpu += $2 } /System time/ { cpu += $2 }
    /Maximum resident set size/ { rss = $2 / 1024 }
    END { printf "%-34s %8.1f %8.1f %8.1f\n", name, wall, cpu, rss }' "$log"
}

printf '%-34s %8s %8s %8s\n' "pictures, program" "wall s" "cpu s" "RSS MiB"
for count in $counts; do
  dir=$work/series-$count
  mkdir -p "$dir"
  for ((i = 1; i <= count; i++)); do
    ln "$pool/snap_$(printf %08d $(((i - 1) % 2000 + 1))).jpg" "$dir/snap_$(printf %08d "$i").jpg"
  done
  XDG_STATE_HOME=$work/state "$capture" --adopt "$dir" "$url" >/dev/null
  XDG_STATE_HOME=$work/state measure "$count tessaly-capture timelapse" "$capture" timelapse \
    --quiet --fps 30 --crf "$crf" --preset "$preset" --out "$work/tessaly-$count.mp4" "$dir" "$url"
  if [ "${FFMPEG_TOO:-1}" = 1 ]; then
    measure "$count ffmpeg" ffmpeg -nostdin -loglevel error -framerate 30 -pattern_type glob \
      -i "$dir/*.jpg" -c:v libx264 -crf "$crf" -preset "$preset" "$work/ffmpeg-$count.mp4"
  fi
  frames=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 \
    "$work/tessaly-$count.mp4")
  [ "$frames" = "$count" ] || { echo "the film has $frames frames, not $count" >&2; exit 1; }
  rm -rf "$dir" "$work"/*.mp4
done
