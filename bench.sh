#!/usr/bin/env bash
# Builds the RelWithDebInfo tree build/ and runs the benchmark: real Velmord processes on
# free loopback ports beside floor servers, every figure a ratio to its anchor measured
# in the same run. Takes a few minutes; options go to velmor_bench (e.g. --rounds 9).
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)
tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target velmor_bench >/dev/null
exec build/bin/velmor_bench --build "$top/build" --source "$top" "$@"
