# shellcheck shell=bash disable=SC2034 # the scripts that source it use the names
# Sourced by the package scripts in this folder, from the top of the tree:
# where the clean Debian 12 chroots, their downloads and the builds live,
# and how Debian's own tools run in them. The work lives under build/; the
# chroot tarballs and their downloads under build/chroot/ too, or in
# $ORV_CACHE_DIR/chroot/ when that is set, so that later runs (CI's, in a
# fresh clone each time) make and download them only once.
#
# The chroots are tarballs made once by mmdebstrap and unpacked afresh for
# each use: `buildd` (Essential, apt and build-essential) for sbuild,
# `minbase` (Essential and apt) for autopkgtest and piuparts. Every
# download (the tarballs' packages, the Build-Depends, the tests' and the
# package's dependencies) goes through one apt cache, so that a run fetches
# each package once.

native=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -S Version)
suite=bookworm
chroots=build/chroot
store=$(realpath -m "${ORV_CACHE_DIR:-build}/chroot")
apt_cache=$store/apt-cache
mkdir -p "$chroots"

# chroot_tarball VARIANT: the tarball of a clean Debian 12 of that
# mmdebstrap variant for this machine's architecture, made if it is missing;
# prints its path. Its apt lists are kept, so that the tools that unpack it
# find them fresh and download only what changed since; the buildd one has
# armhf and arm64 added as foreign architectures, with their lists, for the
# cross builds. The minbase one is compressed with gzip, the only kind
# piuparts unpacks.
chroot_tarball() {
  local variant=$1 tarball architectures=$native
  tarball=$store/$suite-$variant-$native.tar
  if [ "$variant" = minbase ]; then
    tarball=$tarball.gz
  else
    architectures=$native,armhf,arm64
  fi
  if ! chroot_is_current "$tarball"; then
    mkdir -p "$apt_cache"
    echo "=== mmdebstrap --variant=$variant $suite $tarball" >&2
    # The packages are copied in and out as plain files: the cache belongs
    # to sbuild's chroot root (see apt_cache_for_sbuild), the tarball's
    # files to root.
    # shellcheck disable=SC2016 # $1 is the hooks' argument, the chroot
    # dpkg in the chroots skips its fsync calls (force-unsafe-io): a chroot
    # that dies with the machine is made again anyway.
    nice -n 10 packaging/make-chroot.sh "$tarball" "$suite" --variant="$variant" \
      --architectures="$architectures" --dpkgopt=force-unsafe-io \
      --skip=download/empty --skip=cleanup/apt/lists \
      --setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
      --setup-hook="find '$apt_cache' -maxdepth 1 -name '*.deb' -exec cp -t \"\$1\"/var/cache/apt/archives {} +" \
      --customize-hook="find \"\$1\"/var/cache/apt/archives -maxdepth 1 -name '*.deb' -exec cp -n -t '$apt_cache' {} +" \
      >&2 || return 1
  fi
  echo "$tarball"
}

# chroot_is_current TARBALL: whether TARBALL is there and whole, or was
# made without a suite of a mirror in mid-sync (TARBALL.lacks) less than a
# day ago; after that it is made again, whole if the mirror is by then.
chroot_is_current() {
  [ -f "$1" ] && { [ ! -f "$1.lacks" ] || [ -z "$(find "$1.lacks" -mmin +1440)" ]; }
}

# with_subids COMMAND...: runs COMMAND as it is for a normal user. As root,
# in a private mount namespace (which goes with COMMAND) in which
# - /etc/subuid and /etc/subgid give root 65536 ids from 1000000, on a
#   system that gives root none (Debian gives them only to the users it
#   adds): sbuild's and autopkgtest's unshare modes need them for the
#   chroot's own users; the system's files stay as they are;
# - the apt cache is seen at $apt_cache_view too, under build/: the
#   chroot's root, a subordinate id, cannot pass through the folders above
#   the cache (/root, for the CI cache), so that its bind mounts take the
#   cache from there.
apt_cache_view=$apt_cache
[ "$(id -u)" -ne 0 ] || apt_cache_view=$PWD/$chroots/apt-cache
with_subids() {
  if [ "$(id -u)" -ne 0 ]; then
    "$@"
    return
  fi
  mkdir -p "$chroots" "$apt_cache" "$apt_cache_view"
  local subids=
  if ! grep -qs '^root:' /etc/subuid; then
    echo "root:1000000:65536" >"$chroots/subids"
    subids=$chroots/subids
  fi
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare --mount --propagation private sh -c '
    subids=$1 cache=$2 view=$3
    shift 3
    if [ -n "$subids" ]; then
      mount --bind "$subids" /etc/subuid && mount --bind "$subids" /etc/subgid || exit 1
    fi
    mount --bind "$cache" "$view" && exec "$@"' \
    with_subids "$subids" "$apt_cache" "$apt_cache_view" "$@"
}

# apt_cache_for_sbuild: (as root) sbuild's chroot root is root's first
# subordinate id, which may write the cache only if it owns it.
apt_cache_for_sbuild() {
  local first
  first=$(sed -n 's/^root:\([0-9]*\):.*/\1/p' /etc/subuid 2>/dev/null | head -n 1)
  mkdir -p "$apt_cache/partial"
  chown -R "${first:-1000000}:${first:-1000000}" "$apt_cache"
}
