#!/usr/bin/env bash
# Installs what is needed, builds everything and starts Velmord on port 9999 with the sample
# definitions, admitting only this machine unless ALLOW_CLIENTS is set.
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)
tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

# A directory of its own: build/wrappers is the build tree of wrappers/.
exec tools/serve_samples.sh "$top/build" "$top/build/run" 9999
