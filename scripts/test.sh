#!/usr/bin/env bash
# Installs what the tests need, builds Tavdump three ways (Linux, Linux with
# AddressSanitizer and UndefinedBehaviorSanitizer, Windows) and runs the whole suite:
# logic and end-to-end tests on Linux under both Linux builds, and Tavdump.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(cmake g++ make libgtest-dev googletest g++-mingw-w64-x86-64 wine wine64)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "== Installing ${missing[*]}"
  sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
echo "== Windows build"
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTAVDUMP_WERROR=ON >/dev/null
cmake --build build/windows -j "$jobs"
exe=$root/build/windows/Tavdump.exe

status=0
for variant in linux sanitize; do
  options=(-DTAVDUMP_WERROR=ON -DTAVDUMP_WINDOWS_EXE="$exe")
  [ "$variant" = sanitize ] && options+=(-DTAVDUMP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  echo "== Linux build: $variant"
  cmake -S . -B "build/$variant" "${options[@]}" >/dev/null
  cmake --build "build/$variant" -j "$jobs"
  echo "== Tests: $variant"
  ctest --test-dir "build/$variant" -j "$jobs" --output-on-failure || status=1
done
exit $status
