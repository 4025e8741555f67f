#!/usr/bin/env bash
# Builds the Debian package from debian/ for each architecture named (by
# default this machine's), each in a copy of the source tree under
# build/deb/ARCH, so that the tree itself stays clean:
#   packaging/build-package.sh                 this machine's architecture
#   packaging/build-package.sh armhf arm64     cross builds
# The packages end up in build/packages/. A cross build skips the tests
# (the cross-build profile; the `arm` and `arm64` presets run them under
# qemu); set DEB_BUILD_OPTIONS=nocheck to skip them in a native build too.
# The native build also makes the source package (.dsc), and each build its
# .changes, which lintian checks.
set -euo pipefail
cd "$(dirname "$0")/.."

native=$(dpkg --print-architecture)
[ "$#" -gt 0 ] || set -- "$native"
out=build/packages
mkdir -p "$out"

for arch in "$@"; do
  work=build/deb/$arch
  rm -rf "$work"
  mkdir -p "$work/orvplayer"
  # The tree as it stands: tracked files (with their changes) and new files
  # that are not ignored.
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' file; do
        [ -e "$file" ] && printf '%s\0' "$file"
      done | tar --null -T - -cf - | tar -xf - -C "$work/orvplayer"
  else
    tar --exclude=./build --exclude='./obj-*' -cf - . | tar -xf - -C "$work/orvplayer"
  fi
  build_options=${DEB_BUILD_OPTIONS:-}
  if [ "$arch" = "$native" ]; then
    options=(-us -uc)
  else
    # shellcheck disable=SC2054 # the profiles are one comma-separated word
    options=(-b -us -uc -a "$arch" --build-profiles=cross,nocheck)
    build_options="${build_options:+$build_options }nocheck"
  fi
  echo "=== DEB_BUILD_OPTIONS='$build_options' dpkg-buildpackage ${options[*]} (in $work/orvplayer)"
  (cd "$work/orvplayer" && DEB_BUILD_OPTIONS=$build_options dpkg-buildpackage "${options[@]}") \
    >"$work/build.log" 2>&1 || {
    tail -n 60 "$work/build.log"
    echo "dpkg-buildpackage for $arch failed; the whole log: $work/build.log"
    exit 1
  }
  cp "$work"/*.deb "$out"/
  for deb in "$work"/*.deb; do
    echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
  done
done
