#!/usr/bin/env bash
# The previous release's package for this machine, which piuparts upgrades
# from: release 1.0.0, built from its commit without its tests
# (DEB_BUILD_OPTIONS=nocheck) once, then kept in build/deb/previous/, where
# it also makes a local apt repository (Packages) for piuparts to install
# it from. Prints the repository's folder.
set -euo pipefail
cd "$(dirname "$0")/.."

release=1.0.0
commit=ae8fd7b
native=$(dpkg --print-architecture)
dir=build/deb/previous
deb=$dir/orvplayer_${release}_$native.deb

if [ ! -f "$deb" ]; then
  git cat-file -e "$commit^{commit}" 2>/dev/null ||
    { echo "commit $commit (release $release) is not in this clone's history" >&2; exit 1; }
  rm -rf "$dir"
  mkdir -p "$dir/orvplayer"
  git archive "$commit" | tar -xf - -C "$dir/orvplayer"
  [ "$(cd "$dir/orvplayer" && dpkg-parsechangelog -S Version)" = "$release" ] ||
    { echo "commit $commit is not release $release" >&2; exit 1; }
  echo "=== release $release from $commit: DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b (in $dir/orvplayer)" >&2
  (cd "$dir/orvplayer" && DEB_BUILD_OPTIONS=nocheck nice -n 10 dpkg-buildpackage -b -us -uc) \
    >"$dir/build.log" 2>&1 || {
    tail -n 40 "$dir/build.log" >&2
    echo "the build of release $release failed; the whole log: $dir/build.log" >&2
    exit 1
  }
  rm -rf "$dir/orvplayer"
  (cd "$dir" && dpkg-scanpackages --multiversion . >Packages 2>/dev/null)
fi
echo "$dir"
