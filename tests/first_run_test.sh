#!/usr/bin/env bash
# ./run.sh's server as a newcomer gets it: started by tools/serve_samples.sh
# (what run.sh ends with) on a free port with a log directory of its own, it
# serves this machine and turns another address away before reading a line
# (127.0.0.2 stands for another machine); ALLOW_CLIENTS set by the user opens it.
#
# usage: first_run_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$1
build=$2
# shellcheck source=start_server.sh
. "$here/start_server.sh"
require_repository_build "$source_dir" "$build"
server_test_frame first-run
fail() { echo "FAIL: $*" >&2; tail -n 40 "$server_log" >&2; exit 1; }

client=$build/bin/velmor_client
allow=unset
launch() {
  (
    unset MAX_PVM_PROCESSES EXECUTION_MODEL
    if [ "$allow" = unset ]; then unset ALLOW_CLIENTS; else export ALLOW_CLIENTS=$allow; fi
    exec setsid "$source_dir/tools/serve_samples.sh" "$build" "$log_dir/run" "$port"
  ) >"$server_log" 2>&1 &
  server=$!
}
call_from() { "$client" -s "$1" -p "$port" --timeout 20 call sample_threads range_average '[1,2,6]' 2>&1; }

# As run.sh starts it: this machine only.
start_server
grep -q "Only this machine may connect" "$server_log" || fail "no word on who may connect"
got=$(call_from 127.0.0.1) || fail "call from 127.0.0.1: $got"
[ "$got" = 3 ] || fail "range_average from 127.0.0.1: $got"
if got=$(call_from 127.0.0.2); then fail "127.0.0.2 was served: $got"; fi
for _ in $(seq 1 100); do
  grep -q "Rejected: connection request from 127.0.0.2" "$server_log" && break
  sleep 0.1
done
grep -q "Rejected: connection request from 127.0.0.2" "$server_log" || fail "no rejection logged"
stop_server_with_sighup
server=""

# The user's own ALLOW_CLIENTS is kept.
allow="127.0.0.2/255.255.255.255"
: >"$server_log"
start_server
grep -q "Only this machine may connect" "$server_log" && fail "ALLOW_CLIENTS was replaced"
got=$(call_from 127.0.0.2) || fail "call from 127.0.0.2 with ALLOW_CLIENTS=$allow: $got"
[ "$got" = 3 ] || fail "range_average from 127.0.0.2: $got"
stop_server_with_sighup
server=""
echo "run.sh's server admits this machine only, unless ALLOW_CLIENTS says otherwise"
