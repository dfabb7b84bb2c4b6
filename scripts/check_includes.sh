#!/usr/bin/env bash
# Checks that every #include between the program's folders points downward: between the layers
# (app and cli over capture over http and media over net over base) and between capture's parts. A part
# may include itself and any part of a lower rank; parts of one rank never include each other.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rank=(
  [app]=50 [cli]=50 [watch]=45 [film]=45 [capture]=40 [http]=30 [media]=30 [net]=20 [base]=10
  [capture/settings]=46 [capture/window]=45 [capture/series]=44 [capture/store]=43
  [capture/job]=42 [capture/hours]=42
)

part_of() {  # the most specific ranked folder of a path: capture/store/catalog.h -> capture/store
  local path=$1 top=${1%%/*} sub
  sub=${path#*/}
  sub=${sub%%/*}
  if [ -n "${rank[$top/$sub]:-}" ]; then echo "$top/$sub"; elif [ -n "${rank[$top]:-}" ]; then echo "$top"; fi
}

faults=0
while IFS= read -r line; do
  file=${line%%:*}
  target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
  from=$(part_of "$file")
  to=$(part_of "$target")
  [ -z "$from" ] || [ -z "$to" ] || [ "$from" = "$to" ] && continue
  # A folder's own subfolders are part of it as seen from outside (app may include capture/job).
  [ "${to%%/*}" != "${from%%/*}" ] && to=${to%%/*} && from=${from%%/*}
  [ "$from" = "$to" ] && continue
  if [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
    echo "include points up or sideways: $file includes $target ($from -> $to)"
    faults=$((faults + 1))
  fi
done < <(git ls-files -- app cli watch film capture http media net base | grep -E '\.(h|cpp)$' |
  xargs grep -H '^#include "' || true)

if [ "$faults" -gt 0 ]; then
  echo "$faults include(s) against the layering"
  exit 1
fi
echo "includes point downward only"
