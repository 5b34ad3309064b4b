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
# shellcheck source=start_server.sh
. "$here/start_server.sh"
require_repository_build "$source_dir" "$build"
server_test_frame root
fail() { echo "FAIL: $*" >&2; tail -n 40 "$server_log" >&2; exit 1; }

cd "$source_dir"
launch() {
  (
    unset ALLOW_CLIENTS MAX_PVM_PROCESSES
    export VELMOR_BIN_DIR=build/bin VELMOR_LOG_DIR=$log_dir MAX_PROCESSES=2 EXECUTION_MODEL=PROCESS_POOL
    exec setsid build/bin/Velmord -p "$port" samples/*.def
  ) >"$server_log" 2>&1 &
  server=$!
}
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
