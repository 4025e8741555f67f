#!/usr/bin/env bash
# Builds the Debian packages the way Debian's build daemons do: the source
# package (.dsc) is made from the tree as it stands, then sbuild builds it
# in a fresh Debian 12 chroot that holds only build-essential and the
# package's Build-Depends, so that a Build-Depends missing from
# debian/control fails the build here rather than on someone else's
# machine.
#   packaging/build-package.sh                 this machine's architecture
#   packaging/build-package.sh armhf arm64     cross builds (profiles cross,
#                                              nocheck: crossbuild-essential
#                                              and the host's libraries)
# The native build runs the test suite (set DEB_BUILD_OPTIONS=nocheck to
# skip it). The source package goes to build/deb/source/, each build's
# packages, .changes and log to build/deb/ARCH/, and the packages also to
# build/packages/. The chroot tarballs and the apt cache they share are in
# build/chroot/ (see debian-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. packaging/debian-env.sh

[ "$#" -gt 0 ] || set -- "$native"
out=build/packages
source_dir=build/deb/source
dsc=$source_dir/orvplayer_$version.dsc
mkdir -p "$out"

# The source package, from the tracked files and the new ones that are not
# ignored (with their changes), as they stand.
rm -rf "$source_dir"
mkdir -p "$source_dir/orvplayer"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      [ -e "$file" ] && printf '%s\0' "$file"
    done | tar --null -T - -cf - | tar -xf - -C "$source_dir/orvplayer"
else
  tar --exclude=./build --exclude='./obj-*' -cf - . | tar -xf - -C "$source_dir/orvplayer"
fi
(cd "$source_dir" && dpkg-source --build orvplayer >/dev/null)
echo "source package: $dsc"

tarball=$(chroot_tarball buildd)
# sbuild's own settings for this run: the chroot's apt downloads go to the
# shared cache (as root only: the cache then belongs to the chroot's root,
# which a normal user could not remove), and the chroot is unpacked under
# build/chroot/, where anything a killed build leaves is swept with build/.
config=$PWD/$chroots/sbuild.conf
{
  echo "\$unshare_tmpdir_template = '$PWD/$chroots/sbuild.XXXXXXXXXX';"
  if [ "$(id -u)" -eq 0 ]; then
    apt_cache_for_sbuild
    echo "\$unshare_bind_mounts = [ { directory => '$apt_cache_view', mountpoint => '/var/cache/apt/archives' } ];"
    echo "\$apt_keep_downloaded_packages = 1;"
  fi
  # A mirror caught between two syncs can serve a Release file that one of
  # its indexes does not match yet, and apt-get update then fails. apt keeps
  # that repository's lists as they were (the tarball's, which match each
  # other), so the update is a command of ours that says so and goes on;
  # a Build-Depends those lists cannot install still fails the build.
  # sbuild joins a command's words with spaces and hands them to a shell,
  # so the command is one string.
  cat <<'PERL'
$apt_update = 0;
$external_commands = { 'chroot-setup-commands' => [
  'apt-get -q update || echo "W: apt-get update failed (a mirror in mid-sync?); the lists as they were are used"' ] };
PERL
  echo "1;"
} >"$config"

for arch in "$@"; do
  work=build/deb/$arch
  rm -rf "$work"
  mkdir -p "$work"
  build_options=${DEB_BUILD_OPTIONS:-}
  options=(--dist="$suite" --chroot-mode=unshare --chroot="$tarball"
    --build-dir="$PWD/$work" --no-run-lintian --no-run-piuparts --no-run-autopkgtest)
  if [ "$arch" != "$native" ]; then
    # shellcheck disable=SC2054 # the profiles are one comma-separated word
    options+=(--host="$arch" --profiles=cross,nocheck)
    build_options="${build_options:+$build_options }nocheck"
  fi
  echo "=== DEB_BUILD_OPTIONS='$build_options' sbuild ${options[*]} $dsc"
  if ! with_subids env DEB_BUILD_OPTIONS="$build_options" SBUILD_CONFIG="$config" \
    nice -n 10 sbuild "${options[@]}" "$dsc" >"$work/sbuild.log" 2>&1; then
    tail -n 80 "$work/sbuild.log"
    # sbuild's own log of the build says why; its output often does not.
    tail -n 80 "$work"/orvplayer_*.build 2>/dev/null || true
    echo "sbuild for $arch failed; the whole log: $work/sbuild.log"
    exit 1
  fi
  sed -n 's/^\(Install-Time\|Build-Time\): \([0-9]*\)$/\1 \2 s/p' "$work/orvplayer_${version}_$arch.build" |
    paste -sd' ' - || true
  for deb in "$work"/*.deb; do
    cp "$deb" "$out"/
    echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
  done
done
