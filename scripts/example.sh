#!/usr/bin/env bash
# Builds the Linux tavdump and saves the associations of the example program from the
# example registry, as a user would on the machine that registry came from.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
install_missing_packages cmake g++ make
echo "== Building tavdump"
cmake -S . -B build/example -DBUILD_TESTING=OFF >/dev/null
cmake --build build/example -j "$(nproc)"
mkdir -p out
cd out
export TAVDUMP_REGISTRY=../examples/quarvel.reg
export ProgramFiles='C:\Program Files' SystemRoot='C:\Windows' SystemDrive='C:'
echo "== Saving the associations of C:\\Program Files\\Quarvel\\qv.exe"
../build/example/tavdump 'C:\Program Files\Quarvel\qv.exe'
echo "== out/qv.CMD:"
cat qv.CMD
