#!/usr/bin/env bash
# The README's usage line: the server started from the repository root with
# the repository's sample definition files serves the samples (their paths
# are taken relative to the files, whatever the working directory).
#
# usage: repo_root_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
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

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=0
for _ in $(seq 1 50); do
  candidate=$((20000 + RANDOM % 40000))
  if port_free "$candidate"; then port=$candidate; break; fi
done
[ "$port" -ne 0 ] || fail "no free port"

cd "$source_dir"
VELMOR_BIN_DIR=build/bin VELMOR_LOG_DIR=$log_dir MAX_PROCESSES=2 EXECUTION_MODEL=PROCESS_POOL \
  setsid build/bin/Velmord -p "$port" samples/*.def >"$log_dir/server.out" 2>&1 &
server=$!
up=0
for _ in $(seq 1 1800); do
  kill -0 "$server" 2>/dev/null || fail "Velmord ended at start-up"
  if ! port_free "$port"; then up=1; break; fi
  sleep 0.1
done
[ "$up" -eq 1 ] || fail "Velmord does not accept connections"

got=$(build/bin/velmor_client -p "$port" call sample_threads range_average '[1,2,6]') || fail "call"
[ "$got" = 3 ] || fail "range_average: $got"
got=$(build/bin/velmor_client -p "$port" call sample_employee_db get_db '[]' | tail -n 1) || fail "call"
[ "$got" = 26 ] || fail "get_db: $got"
got=$(build/bin/velmor_client -p "$port" module-file sample_employee_db 1 | head -n 1) || fail "module file"
[ "$got" = 'Attribute VB_Name = "employee_sheet"' ] || fail "module file: $got"
kill -HUP "$server"
wait "$server" || fail "exit status after SIGHUP"
server=""
echo "samples served from the repository root"
