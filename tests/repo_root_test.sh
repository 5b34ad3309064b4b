#!/usr/bin/env bash
# The README's usage line: the server started from the repository root with
# the repository's sample definition files serves the samples (their paths
# are taken relative to the files, whatever the working directory).
#
# usage: repo_root_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$1
build=$2
log_dir=$(mktemp -d /tmp/velmor-root-XXXXXX)
server=""
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then kill -KILL -- "-$server" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$log_dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; tail -n 40 "$log_dir/server.out" >&2; exit 1; }

# The repository's definition files name the libraries of build/.
[ "$(cd "$build" && pwd -P)" = "$(cd "$source_dir/build" 2>/dev/null && pwd -P)" ] ||
  { echo "not the tree build/ of the repository: skipped"; exit 77; }

cd "$source_dir"
server_log=$log_dir/server.out
launch() {
  (
    unset ALLOW_CLIENTS MAX_PVM_PROCESSES
    export VELMOR_BIN_DIR=build/bin VELMOR_LOG_DIR=$log_dir MAX_PROCESSES=2 EXECUTION_MODEL=PROCESS_POOL
    exec setsid build/bin/Velmord -p "$port" samples/*.def
  ) >"$server_log" 2>&1 &
  server=$!
}
# shellcheck source=start_server.sh
. "$here/start_server.sh"
start_server

got=$(build/bin/velmor_client -p "$port" call sample_threads range_average '[1,2,6]') || fail "call"
[ "$got" = 3 ] || fail "range_average: $got"
got=$(build/bin/velmor_client -p "$port" call sample_employee_db get_db '[]' | tail -n 1) || fail "call"
[ "$got" = 26 ] || fail "get_db: $got"
got=$(build/bin/velmor_client -p "$port" module-file sample_employee_db 1 | head -n 1) || fail "module file"
[ "$got" = 'Attribute VB_Name = "employee_sheet"' ] || fail "module file: $got"
stop_server_with_sighup
server=""
echo "samples served from the repository root"
