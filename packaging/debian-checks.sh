#!/usr/bin/env bash
# Debian's own checks of the packages that packaging/build-package.sh built
# (amd64, that is this machine's architecture, armhf and arm64):
#   packaging/debian-checks.sh lintian      lintian --pedantic on the source
#                                           package and each build: not a
#                                           tag, but those overridden in
#                                           debian/ with their reasons
#   packaging/debian-checks.sh autopkgtest  debian/tests against this
#                                           machine's package, installed in
#                                           a fresh Debian 12 (minbase) in a
#                                           namespace of its own
#                                           (autopkgtest-virt-unshare)
#   packaging/debian-checks.sh piuparts     this machine's package installed,
#                                           removed and purged in a fresh
#                                           Debian 12 chroot, and upgraded
#                                           there from release 1.0.0: nothing
#                                           left, nothing broken
# With no argument, all three. Logs go to build/deb/checks/.
set -euo pipefail
cd "$(dirname "$0")/.."
. packaging/debian-env.sh

checks=build/deb/checks
mkdir -p "$checks"
dsc=build/deb/source/orvplayer_$version.dsc
deb=build/deb/$native/orvplayer_${version}_$native.deb
for file in "$dsc" "$deb"; do
  [ -f "$file" ] || { echo "$file is missing: run packaging/build-package.sh first"; exit 1; }
done

run_lintian() {
  local files=("$dsc") arch
  for arch in "$native" armhf arm64; do
    files+=("build/deb/$arch/orvplayer_${version}_$arch.changes")
    [ -f "${files[-1]}" ] || { echo "${files[-1]} is missing: run packaging/build-package.sh $arch"; exit 1; }
  done
  echo "=== lintian --pedantic --info ${files[*]}"
  # Informational and pedantic tags count as well; lintian warns that it
  # runs as root, which is no finding.
  nice -n 10 lintian --pedantic --info --fail-on error,warning,info,pedantic \
    "${files[@]}" 2> >(grep -v '^running with root privileges is not recommended!$' >&2) |
    tee "$checks/lintian.log"
  echo "lintian: no tag but the justified overrides"
}

run_autopkgtest() {
  local tarball out=$checks/autopkgtest status=0
  tarball=$(chroot_tarball minbase)
  rm -rf "$out" "$chroots/testbed"
  echo "=== autopkgtest $dsc $deb -- unshare --tarball $tarball"
  # The testbed's root owns the apt cache there, as root does here (the
  # cache's owner, sbuild's root, is one of its users).
  with_subids nice -n 10 autopkgtest --output-dir "$out" --no-built-binaries \
    "$dsc" "$deb" -- unshare --tarball "$tarball" --unpack-dir "$PWD/$chroots/testbed" \
    --bind "$apt_cache_view" /var/cache/apt/archives >"$checks/autopkgtest.log" 2>&1 || status=$?
  # What each test printed of its cases, and the summary: a line a test.
  grep -E '^(ok|FAIL): ' "$checks/autopkgtest.log" || true
  sed -n '/@@@@@@@@@@@@@@@@@@@@ summary$/,$p' "$checks/autopkgtest.log"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$checks/autopkgtest.log"
    echo "autopkgtest failed (status $status); the whole log: $checks/autopkgtest.log"
    exit 1
  fi
}

run_piuparts() {
  local tarball previous scripts=$chroots/piuparts-scripts
  tarball=$(chroot_tarball minbase)
  previous=$(packaging/previous-package.sh)
  # Release 1.0.0 comes from a local apt repository, which piuparts sees
  # through a bind mount at the same path: installed from there first, it
  # is upgraded to the package under test. The chroot keeps the tarball's
  # sources otherwise.
  rm -rf "$scripts"
  mkdir -p "$scripts"
  cat >"$scripts/post_chroot_unpack_previous_release" <<EOF
#!/bin/sh
echo "deb [trusted=yes] file://$PWD/$previous ./" >/etc/apt/sources.list.d/orvplayer-previous.list
EOF
  chmod +x "$scripts/post_chroot_unpack_previous_release"
  rm -f "$checks/piuparts.log"
  echo "=== piuparts $deb, upgraded from $previous"
  nice -n 10 piuparts --basetgz="$tarball" --distribution="$suite" --keep-sources-list \
    --bindmount="$PWD/$previous" --scriptsdir="$scripts" --tmpdir="$chroots" \
    --pedantic-purge-test --fail-on-broken-symlinks --fail-if-inadequate \
    --log-file="$checks/piuparts.log" "$deb" >/dev/null 2>&1 || {
    grep -E '^[0-9.ms]+ (FAIL|ERROR)|^ +/' "$checks/piuparts.log" | tail -n 60
    echo "piuparts failed; the whole log: $checks/piuparts.log"
    exit 1
  }
  # piuparts skips the upgrade when apt does not know the package: the
  # upgrade must have been tested.
  grep -E 'PASS: ' "$checks/piuparts.log" | sed 's/^[0-9.ms]* INFO: //'
  grep -q 'PASS: Installation, upgrade and purging tests' "$checks/piuparts.log" ||
    { echo "piuparts did not test the upgrade from release 1.0.0"; exit 1; }
}

[ "$#" -gt 0 ] || set -- lintian autopkgtest piuparts
for check in "$@"; do
  case "$check" in
    lintian) run_lintian ;;
    autopkgtest) run_autopkgtest ;;
    piuparts) run_piuparts ;;
    *) echo "unknown check: $check (lintian, autopkgtest or piuparts)"; exit 2 ;;
  esac
done
