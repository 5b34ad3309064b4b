#!/bin/sh
# PVM's remote shell for the test hosts of test_hosts.sh: PVM runs
# "$PVM_RSH HOST [-l USER] [-n] COMMAND" to start the daemon of HOST; this
# runs COMMAND in HOST's namespaces (network, host name, /tmp) instead of
# over the network, and within the caller's root (in a chroot too). Standard
# input and output stay PVM's: the new daemon reports its address on them.
host=$1
shift
while [ $# -gt 1 ]; do
  case "$1" in
    -l) shift 2 ;;
    -n) shift ;;
    *) break ;;
  esac
done
case "$host" in
  velmor-host[0-9]*) number=${host#velmor-host} ;;
  *) echo "test_host_rsh.sh: $host is not a test host" >&2; exit 1 ;;
esac
holder=$(cat "$VELMOR_TEST_HOSTS_DIR/host$number.pid" 2>/dev/null)
if [ -z "$holder" ]; then
  echo "test_host_rsh.sh: $host has no namespaces" >&2
  exit 1
fi
exec nsenter -t "$holder" -n -u -m -r -w sh -c "$*"
