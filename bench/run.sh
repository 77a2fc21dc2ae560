#!/usr/bin/env bash
# Times tavdump on generated registries of 25k, 50k and 100k root keys (or the sizes given
# as arguments): a run whose path matches a few file types by prefix, and a run whose path
# occurs in every open command, so that the contains pass matches every file type.
#
#   bench/run.sh [N ...]
#
# KIND=wine times the same classes in a Wine system.reg (bench/genwinereg.cpp) instead of
# an export. Beside each size, "cat" is the processor time of `cat FILE >/dev/null`, the
# least any reader of the file pays, and each run's time is also shown as a multiple of it.
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
case ${KIND:-export} in
  export) generator=genreg name=classes ;;
  wine) generator=genwinereg name=wine-system ;;
  *) echo "KIND must be export or wine" >&2; exit 2 ;;
esac
c++ -O2 -std=c++20 -o "$work/$generator" "bench/$generator.cpp"

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

# cat_time FILE: the least processor time of RUNS runs of `cat FILE >/dev/null`.
cat_time() {
  local best='' user system cpu
  for ((i = 0; i < runs; i++)); do
    read -r user system < <( { /usr/bin/time -f '%U %S' cat "$1" >/dev/null; } 2>&1 | tail -n 1)
    cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
    if [ -z "$best" ] || awk -v a="$cpu" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$cpu; fi
  done
  echo "$best"
}
times_cat() { awk -v r="$1" -v c="$2" 'BEGIN { split(r, a, " "); if (c > 0) printf "%5.0fx", a[1] / c; else printf "%6s", "-" }'; }

printf '%8s %8s %5s   %-28s   %-28s\n' '' '' '' 'prefix, 3 types' 'contains, all types'
printf '%8s %8s %5s   %6s %6s %5s %6s   %6s %6s %5s %6s\n' keys 'file MB' 'cat s' 'cpu s' 'wall s' MiB 'x cat' 'cpu s' 'wall s' MiB 'x cat'
for n in "${sizes[@]}"; do
  export TAVDUMP_REGISTRY=$work/$name-$n.reg
  [ -f "$TAVDUMP_REGISTRY" ] || "$work/$generator" "$n" "$TAVDUMP_REGISTRY"
  cat=$(cat_time "$TAVDUMP_REGISTRY")
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
  printf '%8s %8s %5s   %s %s   %s %s\n' "$n" "$megabytes" "$cat" "$prefix" "$(times_cat "$prefix" "$cat")" \
    "$contains" "$(times_cat "$contains" "$cat")"
done
