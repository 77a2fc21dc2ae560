#!/usr/bin/env bash
# Installs what the tests need, builds Tavdump three ways and runs the whole suite once:
# Tavdump.exe (Windows build) under Wine against the Linux tavdump, and the logic and
# end-to-end tests under the Linux build with AddressSanitizer and
# UndefinedBehaviorSanitizer. The Wine suite mostly waits for Wine, so it runs while the
# sanitizer build compiles; its report follows the others.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/packages.sh
install_missing_packages cmake g++ make libgtest-dev googletest \
  g++-mingw-w64-x86-64 wine wine64 locales-all

jobs=$(nproc)
echo "== Windows build"
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTAVDUMP_WERROR=ON >/dev/null
cmake --build build/windows -j "$jobs"

echo "== Linux build"
# Lighter optimisation and line tables only: a third less compile time; the sanitizer build
# below looks for undefined behaviour.
cmake -S . -B build/linux -DTAVDUMP_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DTAVDUMP_WINDOWS_EXE="$root/build/windows/Tavdump.exe" >/dev/null
# Only what the Wine suite runs: the Linux tests run once, in the sanitizer build below.
cmake --build build/linux -j "$jobs" --target tavdump wine_tests

status=0
echo "== Tests: Tavdump.exe under Wine, in the background"
# Two halves side by side, each with prefixes of its own: most of Wine's time is waiting,
# which the halves share.
# GTEST_FILTER narrows both, as it would a single test program.
filter=${GTEST_FILTER:-*}
case $filter in *-*) filter+=: ;; *) filter+=- ;; esac
for part in 1 2; do
  timeout 1800 env -u GTEST_FILTER TAVDUMP_WINE_PART=$part/2 build/linux/tests/wine/wine_tests \
    --gtest_filter="$filter$([ $part = 1 ] && echo WinePrefix || echo WineFailures).*" \
    >build/linux/wine-tests-$part.log 2>&1 &
  wine_pids[$part]=$!
done

echo "== Linux build: sanitize"
cmake -S . -B build/sanitize -DTAVDUMP_WERROR=ON -DTAVDUMP_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DTAVDUMP_WINDOWS_EXE= >/dev/null
cmake --build build/sanitize -j "$jobs"
echo "== Tests: sanitize"
ctest --test-dir build/sanitize -LE wine -j "$jobs" --output-on-failure || status=1

echo "== Tests: Tavdump.exe under Wine"
passed=0 failed=0
for part in 1 2; do
  log=build/linux/wine-tests-$part.log
  wait "${wine_pids[$part]}" || { status=1; cat "$log"; }
  tail -n 3 "$log"
  passed=$((passed + $(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log" | grep . || echo 0)))
  failed=$((failed + $(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$log" | grep . || echo 0)))
done
echo "wine: $passed passed, $failed failed"
exit $status
