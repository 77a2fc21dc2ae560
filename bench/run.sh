#!/usr/bin/env bash
# Times tavdump on generated registries of 25k, 100k and 1M root keys (or the sizes given):
# a run whose path matches a few file types by prefix, and a run whose path occurs in every
# open command, so that the contains pass matches every file type. Beside each, the time
# to read the file once (`cat`), and for a hive the time reglookup takes to list its
# classes, as yardsticks.
#
#   bench/run.sh [KIND] [N ...]
#
# KIND is the source: export (default), wine (a Wine system.reg), hive (a SOFTWARE hive),
# or shape: an export shaped like a real machine's classes, N root keys beside a CLSID key
# with a million keys below it, which the scan never reads (sizes default to 20000).
# BUILD_DIR (default build/bench) is configured as the normal RelWithDebInfo build; TAVDUMP
# names another binary to time instead. DATA_DIR (default BUILD_DIR/bench-data) holds the
# generated registries.
# RUNS (default 5) runs of each case; the run with the least processor time is shown.
# The generated files are deleted after use unless KEEP=1. LISTING=0 leaves out reglookup,
# which takes minutes on the largest hives.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build/bench}
runs=${RUNS:-5}
kind=export
case "${1:-}" in export | wine | hive | shape) kind=$1; shift ;; esac
sizes=("$@")
if ((${#sizes[@]} == 0)); then
  if [ "$kind" = shape ]; then sizes=(20000); else sizes=(25000 100000 1000000); fi
fi

tavdump=${TAVDUMP:-$root/$build/tavdump}
if [ -z "${TAVDUMP:-}" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" --target tavdump -j "$(nproc)" >/dev/null
fi
work=${DATA_DIR:-$root/$build/bench-data}
mkdir -p "$work"
c++ -O2 -std=c++20 -o "$work/genreg" bench/genreg.cpp

export ProgramFiles='C:\Program Files' SystemRoot='C:\Windows' SystemDrive='C:'
unset TAVDUMP_ACP TAVDUMP_OEMCP

# best_of COMMAND...: runs COMMAND RUNS times and prints, for the run that took the least
# processor time, that time (user plus system), its wall time and its peak resident memory.
# Processor time is what grows with the input; wall time also counts whatever else the
# machine was doing.
best_of() {
  local best='' wall='' memory='' line elapsed user system kib cpu
  for ((i = 0; i < runs; i++)); do
    line=$( { /usr/bin/time -f '%e %U %S %M' "$@" >/dev/null; } 2>&1 | tail -n 1)
    read -r elapsed user system kib <<<"$line"
    cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
    if [ -z "$best" ] || awk -v a="$cpu" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$cpu
      wall=$elapsed
      memory=$((kib / 1024))
    fi
  done
  printf '%6s %6s %5s' "$best" "$wall" "$memory"
}

printf '%-6s %8s %8s   %-19s   %-19s   %-19s' kind '' '' 'prefix, 3 types' \
  'contains, all types' 'cat file'
[ "$kind" = hive ] && printf '   %-19s' 'reglookup -p /Classes'
printf '\n%-6s %8s %8s' '' keys 'file MB'
columns=3
[ "$kind" = hive ] && columns=4
for ((c = 0; c < columns; c++)); do printf '   %6s %6s %5s' 'cpu s' 'wall s' MiB; done
printf '\n'
for n in "${sizes[@]}"; do
  case $kind in
    export) file=$work/classes-$n.reg; gen=(export "$n" "$file") ;;
    wine) file=$work/system-$n.reg; gen=(wine "$n" "$file") ;;
    hive) file=$work/software-$n; gen=(hive "$n" "$file") ;;
    shape) file=$work/shape-$n.reg; gen=(export "$n" "$file" 500000) ;;
  esac
  [ -f "$file" ] || "$work/genreg" "${gen[@]}"
  export TAVDUMP_REGISTRY=$file
  megabytes=$(awk -v b="$(stat -c %s "$file")" 'BEGIN { printf "%.1f", b / 1048576 }')
  cd "$work"
  prefix=$(best_of "$tavdump" 'C:\Program Files\Bench\bench.exe' prefix.cmd)
  contains=$(best_of "$tavdump" 'Program Files' contains.cmd)
  reading=$(best_of cat "$file")
  listing=''
  [ "$kind" = hive ] && [ "${LISTING:-1}" != 0 ] &&
    listing="   $(best_of reglookup -p /Classes "$file")"
  cd "$root"
  # Each run must have written the whole script: 3 extensions and 3 types by prefix; all
  # extensions and all types by content.
  third=$((n / 3))
  types=$((n - 2 * third))
  for check in "prefix.cmd $((3 + 3 * 3))" "contains.cmd $((third + 3 * types))"; do
    read -r out lines <<<"$check"
    got=0
    [ -f "$work/$out" ] && got=$(wc -l <"$work/$out")
    [ "$got" -eq "$lines" ] || { echo "$out has $got lines, expected $lines" >&2; failed=1; }
    rm -f "$work/$out"
  done
  printf '%-6s %8s %8s   %s   %s   %s%s\n' "$kind" "$n" "$megabytes" "$prefix" "$contains" \
    "$reading" "$listing"
  [ "${KEEP:-}" = 1 ] || rm -f "$file"
done
exit "${failed:-0}"
