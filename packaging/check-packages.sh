#!/usr/bin/env bash
# The Debian packages' round trip: lintian on both, then the native one
# installed with dpkg, its commands run as a user would, and removed again.
# Run after `cmake --workflow --preset package` and `--preset package-arm`.
set -euo pipefail
cd "$(dirname "$0")/.."

native=$(ls build/package/packages/orvplayer_*_"$(dpkg --print-architecture)".deb)
arm=$(ls build/package-arm/packages/orvplayer_*_armhf.deb)

for deb in "$native" "$arm"; do
  echo "lintian $deb"
  lintian --fail-on error "$deb" 2>/dev/null
done
[ "$(dpkg-deb -f "$arm" Architecture)" = armhf ]
unpacked=$(mktemp -d)
dpkg-deb -x "$arm" "$unpacked"
# ELF, 32-bit, little-endian; machine 0x28 is ARM.
header=$(od -An -tx1 -N7 "$unpacked/usr/bin/orvplayer" | tr -d ' \n')
machine=$(od -An -tx1 -j18 -N2 "$unpacked/usr/bin/orvplayer" | tr -d ' \n')
rm -rf "$unpacked"
if [ "$header" != 7f454c46010101 ] || [ "$machine" != 2800 ]; then
  echo "the armhf package does not hold a 32-bit ARM program ($header, machine $machine)"
  exit 1
fi
echo "armhf package holds a 32-bit ARM build"

dpkg -i "$native"
trap 'dpkg -r orvplayer >/dev/null' EXIT

usage="syntax: orvplayer -b [baud] -f [filename] -d [delay]"
expected=$(printf 'no filename\n%s\nno baud rate\n\n%s\nno delay\n\n%s' "$usage" "$usage" "$usage")
status=0
out=$(orvplayer) || status=$?
if [ "$status" -ne 1 ] || [ "$out" != "$expected" ]; then
  echo "installed orvplayer without arguments: status $status, output:"
  echo "$out"
  exit 1
fi
echo "installed orvplayer: three usage messages, status 1"

orvplayer-check /usr/share/doc/orvplayer/examples/hello.txt
man -w orvplayer orvplayer-check >/dev/null
[ -f /usr/lib/systemd/system/orvplayer@.service ] && [ -f /etc/default/orvplayer ]
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /usr/lib/systemd/system/orvplayer@show.txt.service
  echo "systemd unit template verified"
fi

dpkg -r orvplayer >/dev/null
trap - EXIT
if command -v orvplayer >/dev/null; then
  echo "orvplayer is still installed after dpkg -r"
  exit 1
fi
echo "package round trip: clean"
