#!/bin/sh
# Start script of a PVM worker task. The server's task table has PVM run it
# as "Velmor.sh pvm_start <working directory>"; the worker must become the
# spawned task itself, so it is exec'd (same process, same PVM task).
#
# VELMOR_DEFINITION_FILES: the server's definition files, one per line.
# VELMOR_PVM_TRACE: when set, the worker's trace file.
# Both reach the task through PVM_EXPORT (set by the server's task table),
# with VELMOR_BIN_DIR, VELMOR_LOG_DIR, EXECUTION_MODEL, PATH and
# LD_LIBRARY_PATH. On a worker host this script, pvm_worker, the definition
# files, the libraries they name and the working directory (with the stubs
# the server built) must be at the same paths as on the server's host.

if [ "$1" != "pvm_start" ] || [ -z "$2" ]; then
  echo "usage: $0 pvm_start <working directory>" >&2
  exit 1
fi
cd "$2" || exit 1

worker="$(dirname "$0")/pvm_worker"
newline='
'
IFS=$newline
if [ -n "$VELMOR_PVM_TRACE" ]; then
  exec "$worker" -t "$VELMOR_PVM_TRACE" $VELMOR_DEFINITION_FILES
fi
exec "$worker" $VELMOR_DEFINITION_FILES
