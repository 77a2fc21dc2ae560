#!/usr/bin/env bash
# Builds the registry loaders' libFuzzer targets (tests/fuzz, Clang, AddressSanitizer and
# UndefinedBehaviorSanitizer over the whole layer) and runs each for a bounded time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      e.g. scripts/fuzz.sh 600 export wine
#
# SECONDS (default 60, or FUZZ_SECONDS) is each target's -max_total_time; TARGET is a file
# name of tests/fuzz without .cpp (default all). FUZZ_JOBS=2 runs two targets at a time.
# The seeds come from the fixtures on every run, told apart by content like the loaders
# are (hive, Wine registry file, else export); what a run finds stays in
# build/fuzz/corpus/TARGET for the next. A crash, leak or timeout is minimized into
# build/fuzz/findings/TARGET/; the command then fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
if [[ ${1:-} =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in tests/fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
out=build/fuzz

cmake -S . -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DTAVDUMP_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$out" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

rm -rf "$out/seeds"
mkdir -p "$out/seeds"/{export,wine,hive}
while IFS= read -r -d '' file; do
  head=$(head -c 23 "$file" | tr -d '\0')
  if [[ $head == regf* ]]; then kind=hive
  elif [[ $head == "WINE REGISTRY Version 2" ]]; then kind=wine
  elif [[ $file == *.reg ]]; then kind=export
  else continue
  fi
  cp "$file" "$out/seeds/$kind/$(sha1sum <"$file" | cut -c1-16)"
done < <(find tests/cases tests/platform -type f ! -path '*/expected/std*' \
  ! -name args ! -name env ! -name wine ! -name exit ! -name '*.tree' ! -name '*.cpp' -print0)

run() {
  local t=$1 dir=$out/corpus/$1 log=$out/$1.log
  mkdir -p "$dir" "$out/findings/$t"
  local dict=() && [[ -f tests/fuzz/$t.dict ]] && dict=(-dict="tests/fuzz/$t.dict")
  nice -n 10 "$out/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$out/findings/$t/" "${dict[@]}" \
    "$dir" "$out/seeds/$t" >"$log" 2>&1 || true
}
summary() {
  local t=$1 log=$out/$1.log
  local runs rate cov ft found=()
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 | sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+).*/\1 \2/')
  read -r cov ft <<<"${cov:-? ?}"
  for f in "$out/findings/$t"/{crash,leak,timeout,oom,slow-unit}-*; do
    [[ -e $f ]] || continue
    if [[ $f != *.min ]]; then
      [[ -e $f.min ]] || "$out/tests/fuzz/fuzz_$t" -minimize_crash=1 -runs=20000 \
        -exact_artifact_path="$f.min" "$f" >/dev/null 2>&1 || cp "$f" "$f.min"
      found+=("$f.min")
    fi
  done
  printf '%-8s executions %-10s exec/s %-6s cov %-6s ft %-6s findings %d\n' \
    "$t" "${runs:-?}" "${rate:-?}" "$cov" "$ft" "${#found[@]}"
  for f in "${found[@]}"; do echo "  $f"; done
  ((${#found[@]} == 0))
}

jobs=${FUZZ_JOBS:-1}
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  for t in "${targets[@]:i:jobs}"; do run "$t" & done
  wait
done
status=0
for t in "${targets[@]}"; do summary "$t" || status=1; done
exit $status
