#!/usr/bin/env bash
# Installs what is needed, builds everything and starts Velmord on port 9999 with the sample definitions.
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)
tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

export VELMOR_BIN_DIR="$top/build/bin"
# A directory of its own: build/wrappers is the build tree of wrappers/.
export VELMOR_LOG_DIR="$top/build/run"
export PVM_ROOT=/usr/lib/pvm3 PVM_ALLOW_ROOT=1
mkdir -p "$VELMOR_LOG_DIR"
defs=$(ls "$top"/samples/*.def 2>/dev/null || true)
echo "Generated VBA modules (.bas) go to $VELMOR_LOG_DIR"
cd "$VELMOR_LOG_DIR"
exec "$VELMOR_BIN_DIR/Velmord" -p 9999 $defs
