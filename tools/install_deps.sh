#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (idempotent).
set -euo pipefail
# iproute2 and util-linux (ip, unshare, nsenter, setpriv) build the PVM tests' hosts;
# pkg-config, dpkg-dev: installed-tree and package tests; systemd: systemd-analyze
# verify of the service unit (no init is started); locales: the charmaps localedef needs
# to make a locale with a decimal comma for the channel's number tests; libreoffice-calc,
# its Python script provider and python3-uno: the client add-in's tests and tools/make_calc_book.
pkgs="build-essential cmake g++ libgtest-dev googletest bison flex pvm pvm-dev iproute2 util-linux pkg-config dpkg-dev systemd locales
      libreoffice-calc libreoffice-script-provider-python python3-uno"
missing=""
for p in $pkgs; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
  fi
  apt-get update
  apt-get install -y --no-install-recommends $missing
fi
