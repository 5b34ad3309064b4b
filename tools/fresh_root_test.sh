#!/usr/bin/env bash
# Runs ./test.sh the way a newcomer would on a fresh machine: a Debian 12 root
# made with debootstrap --variant=minbase, entered with plain chroot (its / is
# no mount point), under a host name that nothing in it resolves, with nothing
# installed beyond minbase until ./test.sh installs the project's packages.
#
#   tools/fresh_root_test.sh [--keep] [REV]
#
# REV (default HEAD) is copied into the root with git archive, so the run sees
# a commit, never the working tree. Needs root and Debian's archive
# (DEBIAN_MIRROR, default http://deb.debian.org/debian). The root is made
# under FRESH_ROOT_DIR (default /var/tmp) and removed afterwards unless --keep.
# Prints ./test.sh's output, then each tree's ctest summary and the time taken.
# Exit status: that of ./test.sh.
set -euo pipefail

keep=0
if [ "${1:-}" = --keep ]; then keep=1; shift; fi
rev=${1:-HEAD}
top=$(cd "$(dirname "$0")/.." && pwd)
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ "$(id -u)" -eq 0 ] || { echo "fresh_root_test.sh: needs root" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "fresh_root_test.sh: needs debootstrap" >&2; exit 2; }

# Everything is mounted in a mount namespace of this script's own, so no mount
# outlives it even when it is killed; the explicit unmounts below come first
# all the same, and nothing is deleted while anything is still mounted.
if [ -z "${FRESH_ROOT_INSIDE:-}" ]; then
  FRESH_ROOT_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi

work=$(mktemp -d "${FRESH_ROOT_DIR:-/var/tmp}/velmor-fresh.XXXXXX")
root=$work/root
mounted=()

mounts_below() { awk -v r="$root/" 'index($5 "/", r) == 1 { print $5 }' /proc/self/mountinfo; }

# Processes that a test left behind in the root (an orphaned server worker,
# say) would outlive the run and hold it: ended by pid.
end_leftovers() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] || continue
    echo "fresh_root_test.sh: ended a process left in the root: $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null)"
    kill -KILL "${p#/proc/}" 2>/dev/null || true
  done
}

cleanup() {
  local rc=$? m i
  trap - EXIT INT TERM
  end_leftovers
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null || true
  done
  m=$(mounts_below)
  if [ -n "$m" ]; then
    echo "fresh_root_test.sh: still mounted, $work left in place:" $m >&2
  elif [ $keep = 1 ]; then
    echo "root kept in $root"
  else
    rm -rf "$work"
  fi
  exit $rc
}
trap cleanup EXIT
trap 'exit 143' INT TERM

started=$(date +%s)
echo "== debootstrap --variant=minbase bookworm into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 30 "$work/debootstrap.log" >&2; exit 1; }

# A resolver for the archive, and a hosts file that names only localhost.
cp /etc/resolv.conf "$root/etc/resolv.conf"
printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
mkdir -p "$root/root/velmor"
git -C "$top" archive --format=tar "$rev" | tar -x -C "$root/root/velmor"

mount_in_root() { mount "$@"; mounted+=("${*: -1}"); }
mount_in_root -t proc proc "$root/proc"
mount_in_root -t sysfs sysfs "$root/sys"
mount_in_root --rbind /dev "$root/dev"

echo "== ./test.sh of $(git -C "$top" rev-parse --short "$rev") in the fresh root, host name freshbox"
set +e
unshare -u sh -c 'hostname freshbox && exec chroot "$0" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash -c "cd /root/velmor && ./test.sh"' "$root" 2>&1 | tee "$work/test.log"
rc=${PIPESTATUS[0]}
set -e
minutes=$((($(date +%s) - started + 30) / 60))
echo "== summary"
grep -E "tests passed|tests failed out of" "$work/test.log" || echo "no ctest summary (see above)"
echo "left in the root's /tmp:" $(ls -A "$root/tmp")
echo "./test.sh exit status $rc; $minutes min from debootstrap to the end"
exit $rc
