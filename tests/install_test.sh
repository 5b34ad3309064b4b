#!/usr/bin/env bash
# Installs a build tree into a temporary root (DESTDIR) and then works from the
# installed tree alone, as a site would: builds a user library with velmor.pc,
# writes its definition file, starts the installed Velmord with the installed
# system.info on a free loopback port, calls the functions with the installed
# velmor_client, and stops the server with SIGHUP (its clean end).
#
# usage: install_test.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
root=$(mktemp -d /tmp/velmor-install-XXXXXX)
server=""

cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -KILL -- "-$server" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  [ -n "${VELMOR_KEEP_INSTALL_TEST:-}" ] || rm -rf "$root"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in "$root"/*.log; do
    [ -f "$log" ] && { echo "--- $log"; tail -n 40 "$log"; } >&2
  done
  exit 1
}

# A prefix no package uses, so that nothing of a system-wide installation is
# mistaken for the tree under test.
prefix=/opt/velmor-install-test
dest=$root/dest
top=$dest$prefix
DESTDIR=$dest cmake --install "$build" --prefix "$prefix" >"$root/install.log" 2>&1 ||
  fail "cmake --install"

# Nothing installed names the build or source tree.
source_dir=$(dirname "$here")
for f in "$top"/libexec/velmor/system.info "$top"/libexec/velmor/Velmor.sh \
         "$top"/lib*/pkgconfig/velmor.pc "$top"/share/velmor/samples/*.def \
         "$top"/lib/systemd/system/velmord.service "$top"/etc/default/velmord; do
  [ -f "$f" ] || fail "not installed: $f"
  if grep -q -e "$build" -e "$source_dir" "$f"; then fail "$f names the build or source tree"; fi
done
for p in Velmord wrapgen pvm_worker velmor_client; do
  [ -x "$top/bin/$p" ] || fail "not installed: bin/$p"
  "$top/bin/$p" --help >"$root/help.log" 2>&1 || fail "$p --help"
  grep -q -i usage "$root/help.log" || fail "$p --help prints no usage"
done

# The site's library, built with the installed header and pkg-config file.
export PKG_CONFIG_PATH=$(dirname "$(ls "$top"/lib*/pkgconfig/velmor.pc)")
export PKG_CONFIG_SYSROOT_DIR=$dest
mkdir -p "$root/site/lib" "$root/site/defs" "$root/wrappers" "$root/elsewhere"
cat >"$root/site/payroll.cpp" <<'EOF'
#include <vector>

#include "wrapper_support.hxx"

double net_pay(double gross, double tax_rate) { return gross * (1 - tax_rate); }

double total(std::vector<double> amounts) {
  double sum = 0;
  for (double a : amounts) sum += a;
  return sum;
}
EOF
# shellcheck disable=SC2046
g++ -std=c++17 -shared -fPIC "$root/site/payroll.cpp" -o "$root/site/lib/libpayroll.so" \
    $(pkg-config --cflags --libs velmor) >"$root/compile.log" 2>&1 || fail "user library"

# Its definition file names the library relative to itself.
cat >"$root/site/defs/payroll.def" <<'EOF'
LIBRARIES {
    ../lib/libpayroll.so;
}
FUNCTIONS {
    double net_pay (double gross, double tax_rate);
    double total (VECTOR<double> amounts);
}
EOF

# The installed wrapgen builds the same glue ahead of time.
mkdir "$root/ahead"
(cd "$root/elsewhere" && VELMOR_BIN_DIR=$top/libexec/velmor VELMOR_LOG_DIR=$root/ahead \
  "$top/bin/wrapgen" "$root/site/defs/payroll.def") >"$root/wrapgen.log" 2>&1 || true
for f in payroll.so payroll.bas; do
  [ -f "$root/ahead/$f" ] || fail "wrapgen made no $f"
done

# Started from a directory of its own: paths come from the definition files.
# The installed sample definition files name the installed sample libraries.
server_log=$root/server.log
launch() {
  (
    cd "$root/elsewhere"
    export VELMOR_BIN_DIR=$top/libexec/velmor VELMOR_LOG_DIR=$root/wrappers
    export EXECUTION_MODEL=PROCESS_POOL MAX_PROCESSES=2
    unset ALLOW_CLIENTS MAX_PVM_PROCESSES
    exec setsid "$top/bin/Velmord" -p "$port" "$root/site/defs/payroll.def" \
      "$top/share/velmor/samples/sample_threads.def"
  ) >"$server_log" 2>&1 &
  server=$!
}
# shellcheck source=start_server.sh
. "$here/start_server.sh"
start_server

client() { "$top/bin/velmor_client" -p "$port" "$@" 2>>"$root/client.log"; }
expect() {
  local want=$1; shift
  local got
  got=$(client "$@") || fail "velmor_client $*"
  [ "$got" = "$want" ] || fail "velmor_client $*: got '$got', want '$want'"
}
expect 750 call payroll net_pay 1000 0.25
expect 6.5 call payroll total '[1,2,3.5]'
expect 3 call sample_threads range_average '[1,2,6]'

# Processes of the server's group that still run (zombies aside: whoever
# inherits an ended worker reaps it in its own time).
running_in_group() {
  local stat rest count=0
  for stat in /proc/[0-9]*/stat; do
    { read -r rest <"$stat"; } 2>/dev/null || continue
    rest=${rest##*) }
    # shellcheck disable=SC2086
    set -- $rest
    if [ "$3" = "$server" ] && [ "$1" != Z ]; then count=$((count + 1)); fi
  done
  echo "$count"
}
# The server and its two workers.
[ "$(running_in_group)" -ge 3 ] || fail "Velmord runs $(running_in_group) processes, not 3"

# The service's stop: SIGHUP to the server alone ends it and every worker.
stop_server_with_sighup
for _ in $(seq 1 300); do
  [ "$(running_in_group)" -eq 0 ] && break
  sleep 0.1
done
[ "$(running_in_group)" -eq 0 ] || fail "workers outlived the server"
server=""
echo "installed tree: user library and sample served and called"
