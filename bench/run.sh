#!/usr/bin/env bash
# Times tavdump on generated registries of 25k, 50k and 100k root keys (or the sizes given
# as arguments): a run whose path matches a few file types by prefix, and a run whose path
# occurs in every open command, so that the contains pass matches every file type.
#
#   bench/run.sh [N ...]
#
# BUILD_DIR (default build/bench) is configured as the normal RelWithDebInfo build.
# RUNS (default 5) runs of each case; the run with the least processor time is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build/bench}
runs=${RUNS:-5}
sizes=("$@")
((${#sizes[@]})) || sizes=(25000 50000 100000)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target tavdump -j "$(nproc)" >/dev/null
tavdump=$root/$build/tavdump
work=$root/$build/bench-data
mkdir -p "$work"
c++ -O2 -std=c++20 -o "$work/genreg" bench/genreg.cpp

export ProgramFiles='C:\Program Files' SystemRoot='C:\Windows' SystemDrive='C:'
unset TAVDUMP_ACP TAVDUMP_OEMCP

# best_of ARGS...: runs tavdump RUNS times in the current folder and prints, for the run
# that took the least processor time, that time (user plus system), its wall time and its
# peak resident memory. Processor time is what grows with the input; wall time also
# counts whatever else the machine was doing.
best_of() {
  local best='' wall='' memory='' line elapsed user system kib cpu
  for ((i = 0; i < runs; i++)); do
    line=$( { /usr/bin/time -f '%e %U %S %M' "$tavdump" "$@" >/dev/null; } 2>&1 | tail -n 1)
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

printf '%8s %8s   %-21s   %-21s\n' '' '' 'prefix, 3 types' 'contains, all types'
printf '%8s %8s   %6s %6s %5s   %6s %6s %5s\n' keys 'file MB' 'cpu s' 'wall s' MiB 'cpu s' 'wall s' MiB
for n in "${sizes[@]}"; do
  export TAVDUMP_REGISTRY=$work/classes-$n.reg
  [ -f "$TAVDUMP_REGISTRY" ] || "$work/genreg" "$n" "$TAVDUMP_REGISTRY"
  megabytes=$(awk -v b="$(stat -c %s "$TAVDUMP_REGISTRY")" 'BEGIN { printf "%.1f", b / 1048576 }')
  cd "$work"
  prefix=$(best_of 'C:\Program Files\Bench\bench.exe' prefix.cmd)
  contains=$(best_of 'Program Files' contains.cmd)
  cd "$root"
  # Each run must have written the whole script: 3 extensions and 3 types by prefix; all
  # extensions and all types by content.
  third=$((n / 3))
  types=$((n - 2 * third))
  for check in "prefix.cmd $((3 + 3 * 3))" "contains.cmd $((third + 3 * types))"; do
    read -r file lines <<<"$check"
    got=$(wc -l <"$work/$file")
    [ "$got" -eq "$lines" ] || { echo "$file has $got lines, expected $lines" >&2; exit 1; }
  done
  printf '%8s %8s   %s   %s\n' "$n" "$megabytes" "$prefix" "$contains"
done
