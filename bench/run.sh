#!/usr/bin/env bash
# Times tavdump on generated registries of 25k, 50k and 100k root keys (or the sizes given
# as arguments): a run whose path matches a few file types by prefix, and a run whose path
# occurs in every open command, so that the contains pass matches every file type.
#
#   bench/run.sh [N ...]
#   KIND=hive bench/run.sh [N ...]
#
# KIND=export (the default) times REGEDIT4 exports from bench/genreg.cpp; KIND=hive times
# SOFTWARE hives with the same keys under Classes, from bench/genhive.cpp, and beside each
# one times reglookup listing the Classes key (reglookup -p /Classes) and cat reading the
# file, with tavdump's processor time as a multiple of theirs.
# BUILD_DIR (default build/bench) is configured as the normal RelWithDebInfo build.
# DATA_DIR (default <BUILD_DIR>/bench-data) holds the generated registries, which are reused.
# RUNS (default 5) runs of each case; the run with the least processor time is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build/bench}
runs=${RUNS:-5}
kind=${KIND:-export}
sizes=("$@")
((${#sizes[@]})) || sizes=(25000 50000 100000)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target tavdump -j "$(nproc)" >/dev/null
tavdump=$root/$build/tavdump
work=${DATA_DIR:-$root/$build/bench-data}
mkdir -p "$work"
case $kind in
  export) generator=genreg suffix=.reg ;;
  hive) generator=genhive suffix=.hive ;;
  *) echo "KIND must be export or hive" >&2; exit 2 ;;
esac
c++ -O2 -std=c++20 -o "$work/$generator" "bench/$generator.cpp"

export ProgramFiles='C:\Program Files' SystemRoot='C:\Windows' SystemDrive='C:'
unset TAVDUMP_ACP TAVDUMP_OEMCP

# best_of PROGRAM ARGS...: runs PROGRAM RUNS times in the current folder and prints, for
# the run that took the least processor time, that time (user plus system), its wall time
# and its peak resident memory. Processor time is what grows with the input; wall time
# also counts whatever else the machine was doing.
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

# cpu FIGURES: the first of best_of's figures.
cpu() { echo "$1"; }
# ratio A B: A as a multiple of B (processor times).
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1f", a / b; else print "-" }'; }

printf '%8s %8s   %-21s   %-21s' '' '' 'prefix, 3 types' 'contains, all types'
[ "$kind" = hive ] && printf '   %-19s   %-19s   %s' 'reglookup -p /Classes' 'cat' 'tavdump cpu / theirs'
printf '\n%8s %8s   %6s %6s %5s   %6s %6s %5s' keys 'file MB' 'cpu s' 'wall s' MiB 'cpu s' 'wall s' MiB
[ "$kind" = hive ] && printf '   %6s %6s %5s   %6s %6s %5s   %s' 'cpu s' 'wall s' MiB 'cpu s' 'wall s' MiB \
  'prefix/reglookup contains/reglookup prefix/cat'
printf '\n'
for n in "${sizes[@]}"; do
  export TAVDUMP_REGISTRY=$work/classes-$n$suffix
  [ -f "$TAVDUMP_REGISTRY" ] || "$work/$generator" "$n" "$TAVDUMP_REGISTRY"
  megabytes=$(awk -v b="$(stat -c %s "$TAVDUMP_REGISTRY")" 'BEGIN { printf "%.1f", b / 1048576 }')
  cd "$work"
  rm -f prefix.cmd contains.cmd  # a failed run must not pass for a fast one
  prefix=$(best_of "$tavdump" 'C:\Program Files\Bench\bench.exe' prefix.cmd)
  contains=$(best_of "$tavdump" 'Program Files' contains.cmd)
  others=''
  if [ "$kind" = hive ]; then
    listing=$(best_of reglookup -p /Classes "$TAVDUMP_REGISTRY")
    reading=$(best_of cat "$TAVDUMP_REGISTRY")
    others=$(printf '   %s   %s   %s %s %s' "$listing" "$reading" \
      "$(ratio "$(cpu $prefix)" "$(cpu $listing)")" "$(ratio "$(cpu $contains)" "$(cpu $listing)")" \
      "$(ratio "$(cpu $prefix)" "$(cpu $reading)")")
  fi
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
  printf '%8s %8s   %s   %s%s\n' "$n" "$megabytes" "$prefix" "$contains" "$others"
done
