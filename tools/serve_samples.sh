#!/usr/bin/env bash
# Starts Velmord the way ./run.sh does, on a built tree: the build's programs,
# the repository's sample definition files, generated files in LOG_DIR.
#
#   tools/serve_samples.sh BUILD_DIR LOG_DIR PORT
#
# Only this machine is admitted unless ALLOW_CLIENTS is set: the sample
# text_file_transfer hands out any file the server can read.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 BUILD_DIR LOG_DIR PORT" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
port=$3

export VELMOR_BIN_DIR="$build/bin"
export VELMOR_LOG_DIR="$2"
export PVM_ROOT=/usr/lib/pvm3 PVM_ALLOW_ROOT=1
if [ -z "${ALLOW_CLIENTS+set}" ]; then
  export ALLOW_CLIENTS=127.0.0.1/255.255.255.255
  echo "Only this machine may connect; to admit others, set ALLOW_CLIENTS (address/mask pairs)"
fi
mkdir -p "$VELMOR_LOG_DIR"
VELMOR_LOG_DIR=$(cd "$VELMOR_LOG_DIR" && pwd)
defs=$(ls "$top"/samples/*.def 2>/dev/null || true)
echo "Generated VBA modules (.bas) go to $VELMOR_LOG_DIR"
cd "$VELMOR_LOG_DIR"
# shellcheck disable=SC2086  # one word per definition file
exec "$VELMOR_BIN_DIR/Velmord" -p "$port" $defs
