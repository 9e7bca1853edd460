#!/usr/bin/env bash
# scripts/httplib-single-header.sh
# The Windows build of `teds serve` needs cpp-httplib as its upstream single
# header (declarations and code). Debian 12 builds cpp-httplib as a Linux
# shared library and installs a header that only declares, so this takes the
# header from Debian's own source package of the same version, with Debian's
# patches applied, and puts it where the cross build looks for it:
#   /usr/local/share/orvane-teds/cpp-httplib/httplib.h
# Does nothing when that file is there. Needs root (or sudo) and dpkg-dev.
set -euo pipefail
dest=/usr/local/share/orvane-teds/cpp-httplib
[ -f "$dest/httplib.h" ] && exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
list=/etc/apt/sources.list.d/orvane-teds-src.sources
work=$(mktemp -d)
cleanup() { $SUDO rm -f "$list"; rm -rf "$work"; }
trap cleanup EXIT
# Source packages come from the release the binaries come from.
$SUDO tee "$list" >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
$SUDO apt-get update -qq
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null || true)
(cd "$work" && apt-get source -qq "cpp-httplib${version:+=$version}" >/dev/null)
header=$(find "$work" -maxdepth 2 -name httplib.h -path '*cpp-httplib-*' | head -n 1)
if [ -z "$header" ]; then
  echo "httplib-single-header: the source package holds no httplib.h" >&2
  exit 1
fi
$SUDO install -D -m 644 "$header" "$dest/httplib.h"
echo "cpp-httplib single header: $dest/httplib.h"
