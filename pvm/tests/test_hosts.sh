#!/usr/bin/env bash
# Runs a test program on a PVM virtual machine of its own, built on this
# machine out of Linux namespaces, and tears it all down afterwards.
#
#   test_hosts.sh [--hosts N] [--state-in DIR] -- PROGRAM [ARGS...]
#
# The program, its Velmord and the master pvmd run in a "server" namespace:
# its own network (loopback only, plus a bridge to the hosts), its own /tmp
# (so its pvmd is nobody else's), its own host name, which a private
# /etc/hosts resolves, and its own process ids (whatever happens to this
# script, the end of the namespace's first process ends every process started
# in it, on the hosts too). With N > 0 there are N worker hosts
# "velmor-host1"..., each a network namespace on a veth pair to the bridge
# (addresses 10.213.0.x, used only inside these namespaces), with its own /tmp
# and host name, and the same private /etc/hosts. The files are shared, as on a site's shared
# disk: PVM starts a host's daemon through test_host_rsh.sh, which enters that
# host's namespaces instead of going over a network.
#
# The program sees VELMOR_TEST_HOSTS (the worker host names, blank-separated),
# VELMOR_TEST_HOSTS_DIR (the state directory: hostN.pid holds the pid of a
# process that keeps host N's namespaces) and TMPDIR, a directory on the
# shared disk for files every host must see.
#
# In a chroot, / is no mount point and its propagation cannot be changed: the
# server namespace then makes its root one (see make_own_root), so nothing
# mounted in it is seen outside and the hosts stay inside the caller's root.
# Without the privileges to make namespaces: with N = 0 the program runs as
# before against a pvmd of this machine, or is skipped (exit 77, one line
# saying why) when this machine's host name does not resolve, as pvmd needs
# it; with N > 0 it is skipped. Every wait is bounded; every process of the
# namespaces is killed by pid.
set -u

here=$(cd "$(dirname "$0")" && pwd)
hosts=0
state_in=${TMPDIR:-/tmp}
inside=""
own_root=""
while [ $# -gt 0 ]; do
  case "$1" in
    --hosts) hosts=$2; shift 2 ;;
    --state-in) state_in=$2; shift 2 ;;
    --inside) inside=$2; shift 2 ;;
    --own-root) own_root=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "usage: $0 [--hosts N] [--state-in DIR] -- PROGRAM [ARGS...]" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || { echo "test_hosts.sh: no program given" >&2; exit 2; }
: "${PVM_ROOT:=/usr/lib/pvm3}"
export PVM_ROOT PVM_ALLOW_ROOT=1
pvmd_control=${PVMD_CONTROL:-$here/pvmd_control}
server_name=velmor-server
subnet=10.213.0

# --- outside: make the server namespace, or say why not ----------------------

# Makes / of this mount namespace a mount point of its own when it is none (a
# chroot). The mounts are first made private from the namespace's real root,
# which setns into one's own mount namespace moves to, so that binding / onto
# itself reaches no other namespace; "/.." then crosses into that mount.
make_own_root() {
  nsenter --mount=/proc/self/ns/mnt mount --make-rprivate / && mount --rbind / /
}

if [ -z "$inside" ]; then
  isolate="unshare -m -u -n -p --fork --kill-child --mount-proc --propagation private"
  own_root=no
  if ! why=$($isolate true 2>&1); then
    chrooted="unshare -m -u -n -p --fork --kill-child --propagation unchanged"
    if $chrooted bash -c "$(declare -f make_own_root); make_own_root" >/dev/null 2>&1; then
      isolate=$chrooted
      own_root=make
    fi
  fi
  if [ "$own_root" = no ] && [ -n "$why" ]; then
    if [ "$hosts" -gt 0 ]; then
      echo "SKIPPED: multi-host PVM tests need network and mount namespaces (run as root): $why"
      exit 77
    fi
    if ! getent hosts "$(hostname)" >/dev/null; then
      echo "SKIPPED: no namespaces here ($why), and pvmd needs this machine's host name $(hostname), which does not resolve"
      exit 77
    fi
    echo "note: no namespaces here ($why); using this machine's pvmd and /tmp"
    state=$(mktemp -d "$state_in/velmor-pvmd.XXXXXX") || exit 1
    "$pvmd_control" start "$state/pvmd.state" || { rm -rf "$state"; exit 1; }
    "$@"
    rc=$?
    "$pvmd_control" stop "$state/pvmd.state"
    rm -rf "$state"
    exit $rc
  fi
  mkdir -p "$state_in"
  state_in=$(cd "$state_in" && pwd)  # the inside starts from / (chroot)
  state=$(mktemp -d "$state_in/velmor-hosts.XXXXXX") || exit 1
  $isolate "$0" --hosts "$hosts" --inside "$state" --own-root "$own_root" -- "$@"
  rc=$?
  rm -rf "$state"
  exit $rc
fi

# --- inside the server namespace ----------------------------------------------

if [ "$own_root" = make ]; then
  make_own_root || { echo "cannot make / a mount point of the test namespace" >&2; exit 1; }
  exec chroot /.. "$here/$(basename "$0")" --hosts "$hosts" --inside "$inside" --own-root made -- "$@"
fi
if [ "$own_root" = made ]; then
  cd / && mount --make-rprivate / && mount -t proc proc /proc ||
    { echo "cannot set up the test namespace's root" >&2; exit 1; }
fi
state=$inside
started=$(date +%s.%N)
holders=()

say() { echo "test hosts: $*"; }
elapsed() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

net_ns_of() { readlink "/proc/$1/ns/net" 2>/dev/null; }

# Kills (SIGKILL, by pid) every process whose network namespace is `ns`,
# except this script; waits a bounded time until they are gone.
kill_namespace() {
  local ns=$1 pid left
  for round in 1 2 3 4 5 6 7 8 9 10; do
    left=0
    for dir in /proc/[0-9]*; do
      pid=${dir#/proc/}
      [ "$pid" = "$$" ] && continue
      [ "$(net_ns_of "$pid")" = "$ns" ] || continue
      # A zombie is gone already; it waits only for its parent to collect it.
      local stat=""
      read -r stat < "$dir/stat" 2>/dev/null
      stat=${stat##*) }
      [ "${stat%% *}" = Z ] && continue
      kill -KILL "$pid" 2>/dev/null && left=1
    done
    [ $left = 0 ] && return 0
    sleep 0.2
  done
}

teardown() {
  local t0 pid ns
  t0=$(date +%s.%N)
  trap - EXIT INT TERM
  # The server's side first (the program, Velmord, the master daemon), then
  # each host with the process that keeps its namespaces.
  kill_namespace "$(net_ns_of $$)"
  for pid in "${holders[@]}"; do
    ns=$(net_ns_of "$pid")
    [ -n "$ns" ] && kill_namespace "$ns"
    kill -KILL "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  say "torn down in $(elapsed "$t0") s"
}
trap teardown EXIT
trap 'exit 143' INT TERM

ip link set lo up
hostname "$server_name"
mount -t tmpfs -o mode=1777 tmpfs /tmp || { echo "cannot mount a private /tmp" >&2; exit 1; }
{
  echo "127.0.0.1 localhost"
  if [ "$hosts" -gt 0 ]; then echo "$subnet.1 $server_name"; else echo "127.0.0.1 $server_name"; fi
  for i in $(seq 1 "$hosts"); do echo "$subnet.$((10 + i)) velmor-host$i"; done
} > "$state/hosts"
mount --bind "$state/hosts" /etc/hosts || { echo "cannot mount a private /etc/hosts" >&2; exit 1; }
mkdir -p "$state/tmp"

names=""
if [ "$hosts" -gt 0 ]; then
  if ! why=$(ip link add velmor-br type bridge 2>&1); then
    echo "SKIPPED: no bridge device for the test hosts: $why"
    exit 77
  fi
  ip addr add "$subnet.1/24" dev velmor-br
  ip link set velmor-br up
  : > "$state/hostfile"
  echo "* dx=$PVM_ROOT/lib/pvmd" >> "$state/hostfile"
  for i in $(seq 1 "$hosts"); do
    name=velmor-host$i
    # The holder keeps the host's namespaces; it dies with this script.
    unshare -n -u -m --propagation private sh -c \
      "hostname $name && mount -t tmpfs -o mode=1777 tmpfs /tmp && ip link set lo up &&
       exec setpriv --pdeathsig KILL sleep 3600" &
    pid=$!
    disown "$pid"
    holders+=("$pid")
    echo "$pid" > "$state/host$i.pid"
    for try in $(seq 1 50); do
      [ "$(net_ns_of "$pid")" != "$(net_ns_of $$)" ] && [ -n "$(net_ns_of "$pid")" ] && break
      sleep 0.05
    done
    if ! why=$(ip link add "velmor-v$i" type veth peer name eth0 netns "$pid" 2>&1); then
      echo "SKIPPED: no veth pair for the test hosts: $why"
      exit 77
    fi
    ip link set "velmor-v$i" master velmor-br
    ip link set "velmor-v$i" up
    nsenter -t "$pid" -n sh -c "ip addr add $subnet.$((10 + i))/24 dev eth0 && ip link set eth0 up" ||
      { echo "cannot configure $name" >&2; exit 1; }
    echo "$name" >> "$state/hostfile"
    names="$names $name"
  done
  export PVM_RSH=$here/test_host_rsh.sh VELMOR_TEST_HOSTS_DIR=$state
  "$pvmd_control" start "$state/pvmd.state" "$state/hostfile" || exit 1
  "$pvmd_control" hosts $((hosts + 1)) || exit 1
  unset PVM_RSH
else
  "$pvmd_control" start "$state/pvmd.state" || exit 1
fi
say "server $server_name and ${hosts} worker host(s)${names:+:$names} up in $(elapsed "$started") s"

export VELMOR_TEST_HOSTS="${names# }" VELMOR_TEST_HOSTS_DIR=$state TMPDIR=$state/tmp
"$@"
