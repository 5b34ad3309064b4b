#!/usr/bin/env bash
# Builds the Debian package of a build tree with CPack and checks its control
# fields, maintainer scripts and contents (dpkg-deb -f, -e, -c), and the
# service unit it carries with systemd-analyze verify, and runs its maintainer
# scripts in a mount namespace of their own. The package is not installed on
# the machine: that would leave traces in dpkg's records and logs.
#
# usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/velmor-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { tail -n 30 "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$work"/velmor_*.deb) || fail "no package"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmor ] || fail "Package: $(field Package)"
[ -n "$(field Version)" ] || fail "no Version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture"
depends=$(field Depends)
# The server compiles stubs (compiler, pkg-config), lists symbols (binutils)
# and starts PVM tasks; the maintainer scripts create its user.
for need in "pvm" "g++" "binutils" "pkg-config" "adduser" "libpvm3" "libc6"; do
  case ", $depends" in *[\ \|]"$need"*) ;; *) fail "Depends lacks $need: $depends" ;; esac
done

dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/contents"
for path in ./usr/bin/Velmord ./usr/bin/wrapgen ./usr/bin/pvm_worker ./usr/bin/velmor_client \
            ./usr/lib/libvelmor_channel.so.1 ./usr/lib/libvelmor_channel.so \
            ./usr/include/velmor/wrapper_support.hxx ./usr/include/velmor/data_exchange.h \
            ./usr/lib/pkgconfig/velmor.pc ./usr/libexec/velmor/system.info \
            ./usr/libexec/velmor/Velmor.sh ./usr/libexec/velmor/pvm_worker \
            ./usr/lib/velmor/samples/sample_threads.so ./usr/share/velmor/samples/sample_threads.def \
            ./usr/lib/systemd/system/velmord.service ./etc/default/velmord; do
  grep -qx -- "$path" "$work/contents" || fail "$path not in the package"
done

dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/default/velmord "$work/control/conffiles" || fail "settings file is no conffile"
grep -q "ldconfig" "$work/control/triggers" || fail "no ldconfig trigger"
grep -q "adduser --system" "$work/control/postinst" || fail "postinst makes no system user"
grep -q "deluser --system velmor" "$work/control/postrm" || fail "postrm purge keeps the user"
for script in postinst prerm postrm; do
  sh -n "$work/control/$script" || fail "$script does not parse"
done

# The maintainer scripts against a private copy of /etc and an empty /var/lib
# (a mount namespace of their own, so the machine stays as it is): configure
# makes the system user and its group, says nothing, and runs twice as well as once; remove keeps
# them; purge takes back the user, the group and the state directory, and
# leaves the account files as they were.
if command -v adduser >/dev/null && unshare -m true 2>/dev/null; then
  mkdir "$work/etc"
  cp -a /etc/. "$work/etc/"
  unshare -m bash -euc '
    ctl=$1 etc=$2
    mount --bind "$etc" /etc
    mount -t tmpfs tmpfs /var/lib
    for f in passwd group shadow gshadow; do [ ! -e /etc/$f ] || cp /etc/$f /var/lib/$f.before; done
    said=$(sh "$ctl/postinst" configure 2>&1)
    [ -z "$said" ] || { echo "postinst configure is not quiet: $said"; exit 1; }
    sh "$ctl/postinst" configure
    getent passwd velmor | grep -q ":/var/lib/velmor:" || { echo "no user velmor"; exit 1; }
    getent group velmor >/dev/null || { echo "no group velmor"; exit 1; }
    mkdir -p /var/lib/velmor/wrappers
    sh "$ctl/prerm" remove
    sh "$ctl/postrm" remove
    getent passwd velmor >/dev/null || { echo "remove took the user"; exit 1; }
    sh "$ctl/postrm" purge
    ! getent passwd velmor >/dev/null || { echo "purge kept the user"; exit 1; }
    ! getent group velmor >/dev/null || { echo "purge kept the group"; exit 1; }
    [ ! -e /var/lib/velmor ] || { echo "purge kept /var/lib/velmor"; exit 1; }
    for f in passwd group shadow gshadow; do
      [ ! -e /etc/$f ] || cmp -s /etc/$f /var/lib/$f.before || { echo "/etc/$f changed"; exit 1; }
    done
    echo "maintainer scripts: user velmor made, kept on remove, purged"
  ' maintainer "$work/control" "$work/etc" >"$work/scripts.log" 2>&1 ||
    { cat "$work/scripts.log" >&2; fail "maintainer scripts"; }
  tail -n 1 "$work/scripts.log"
else
  echo "no adduser or no mount namespace: maintainer scripts not run"
fi

# The unit as systemd reads it, with the package's paths pointing into the
# unpacked tree (the programs are not installed here).
dpkg-deb -x "$deb" "$work/root"
grep -q "libexec/velmor" "$work/root/etc/default/velmord" || fail "settings name no VELMOR_BIN_DIR"
mkdir "$work/unit"
sed -e "s| /usr/bin/Velmord | $work/root/usr/bin/Velmord |" \
    -e "s|EnvironmentFile=/etc/|EnvironmentFile=$work/root/etc/|" \
    "$work/root/usr/lib/systemd/system/velmord.service" >"$work/unit/velmord.service"
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify "$work/unit/velmord.service" 2>&1) || fail "systemd-analyze: $out"
  [ -z "$out" ] || fail "systemd-analyze: $out"
else
  echo "systemd-analyze not available: unit not verified"
fi
echo "package $(basename "$deb"): fields, contents and unit checked"
