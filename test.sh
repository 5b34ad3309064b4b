#!/usr/bin/env bash
# Installs what is needed, builds the normal and the sanitizer trees, runs every test in both.
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)
tools/install_deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMOR_SANITIZE=ON
cmake --build build-asan -j"$jobs"

export PVM_ROOT=/usr/lib/pvm3 PVM_ALLOW_ROOT=1
status=0
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300) || status=1
(cd build-asan && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j"$jobs" --timeout 300) || status=1
cd "$top"
exit $status
