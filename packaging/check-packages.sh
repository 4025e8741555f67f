#!/usr/bin/env bash
# What Debian's own checks (packaging/debian-checks.sh: lintian, autopkgtest,
# piuparts) cannot tell about the packages that packaging/build-package.sh
# built for this machine, armhf and arm64, since they install and run only
# this machine's one:
#   - each package holds programs for its architecture; the armhf ones are
#     static, with no shared library among the Depends, ARMv6 at most with no
#     Thumb-2 (readelf -A), and run under qemu-arm -cpu arm1176, the core of
#     a Raspberry Pi 1, Zero and Zero W; the arm64 ones run under
#     qemu-aarch64;
#   - each package, the foreign ones too, installed into a scratch root, an
#     instance enabled there with systemctl --root, and a purge that leaves
#     nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."

native=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -S Version)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "package check: $*"
  exit 1
}

usage="syntax: orvplayer -b [baud] -f [filename] -d [delay]"
expected_usage=$(printf 'no filename\n%s\nno baud rate\n\n%s\nno delay\n\n%s' "$usage" "$usage" "$usage")

# run_programs LABEL ROOT EMULATOR WORDS...: the package's three programs,
# unpacked in ROOT, under the emulator: the player without arguments prints
# its three usage messages with status 1, the checker reads the example show
# cleanly, and the device wait gives up at once when told to wait 0 seconds
# for a program that is not there.
run_programs() {
  local label=$1 root=$2
  shift 2
  local status=0 out
  out=$("$@" "$root/usr/bin/orvplayer") || status=$?
  if [ "$status" -ne 1 ] || [ "$out" != "$expected_usage" ]; then
    fail "$label: orvplayer without arguments: status $status, output: $out"
  fi
  out=$("$@" "$root/usr/bin/orvplayer-check" "$root/usr/share/doc/orvplayer/examples/hello.txt") ||
    fail "$label: orvplayer-check on the example show failed: $out"
  case "$out" in
    *"summary: 9 cues, 0 lines passed over"*) ;;
    *) fail "$label: orvplayer-check printed: $out" ;;
  esac
  # Without a device it gives up; with one (on this machine), it cannot
  # start the missing program: a message and status 1 either way.
  status=0
  out=$("$@" "$root/usr/libexec/orvplayer/wait-for-device" 0 /nonexistent) || status=$?
  case "$status:$out" in
    "1:no serial device: neither /dev/ttyACM0 nor /dev/ttyUSB0 appeared within 0 seconds" | \
      "1:wait-for-device: cannot start /nonexistent") ;;
    *) fail "$label: wait-for-device 0: status $status, output: $out" ;;
  esac
  echo "$label: orvplayer prints its usage (status 1), orvplayer-check reads the example show," \
    "wait-for-device gives up"
}

# elf_field FILE FIELD: a field of the ELF header (Class, Machine).
elf_field() {
  local header
  header=$(readelf -h "$1")
  sed -n "s/^ *$2: *//p" <<<"$header"
}

# check_armv6 FILE: readelf -A shows nothing newer than ARMv6: no ARMv6K or
# later architecture, no Thumb-2, no v7 profile, no NEON, no VFPv3 or later.
check_armv6() {
  local attributes arch thumb fp
  attributes=$(readelf -A "$1")
  arch=$(sed -n 's/^ *Tag_CPU_arch: *//p' <<<"$attributes")
  thumb=$(sed -n 's/^ *Tag_THUMB_ISA_use: *//p' <<<"$attributes")
  fp=$(sed -n 's/^ *Tag_FP_arch: *//p' <<<"$attributes")
  case "$arch" in
    v4 | v4T | v5T | v5TE | v5TEJ | v6) ;;
    *) fail "$1: Tag_CPU_arch '$arch' is not ARMv6 or older" ;;
  esac
  case "$thumb" in
    "" | Thumb-1) ;;
    *) fail "$1: Tag_THUMB_ISA_use '$thumb'" ;;
  esac
  case "$fp" in
    "" | VFPv1 | VFPv2) ;;
    *) fail "$1: Tag_FP_arch '$fp' is newer than the ARM1176's VFPv2" ;;
  esac
  if grep -Eq 'Tag_CPU_arch_profile|Tag_Advanced_SIMD_arch' <<<"$attributes"; then
    fail "$1: ARMv7 profile or NEON attributes"
  fi
  echo "$(basename "$1"): Tag_CPU_arch $arch, Tag_THUMB_ISA_use ${thumb:-none}, Tag_FP_arch ${fp:-none}"
}

programs=(usr/bin/orvplayer usr/bin/orvplayer-check usr/libexec/orvplayer/wait-for-device)
declare -A deb
for arch in "$native" armhf arm64; do
  deb[$arch]=build/packages/orvplayer_${version}_$arch.deb
  [ -f "${deb[$arch]}" ] || fail "${deb[$arch]} is missing: run packaging/build-package.sh $arch"
  echo "$(basename "${deb[$arch]}"): $(stat -c %s "${deb[$arch]}") bytes;" \
    "Depends: $(dpkg-deb -f "${deb[$arch]}" Depends)"
done

# --- the ARM programs -----------------------------------------------------------
for arch in armhf arm64; do
  unpacked=$scratch/unpacked-$arch
  dpkg-deb -x "${deb[$arch]}" "$unpacked"
  for program in "${programs[@]}"; do
    file=$unpacked/$program
    case "$arch:$(elf_field "$file" Class):$(elf_field "$file" Machine)" in
      armhf:ELF32:ARM | arm64:ELF64:AArch64) ;;
      *) fail "$arch package: $program is $(elf_field "$file" Class) $(elf_field "$file" Machine)" ;;
    esac
  done
  if [ "$arch" = armhf ]; then
    echo "=== armhf: ARMv6, static"
    # The package's only dependency is adduser, for its maintainer script.
    [ "$(dpkg-deb -f "${deb[$arch]}" Depends)" = adduser ] ||
      fail "armhf: Depends: $(dpkg-deb -f "${deb[$arch]}" Depends)"
    for program in "${programs[@]}"; do
      file=$unpacked/$program
      check_armv6 "$file"
      ! readelf -l "$file" | grep -q INTERP || fail "armhf: $program is not static"
    done
    run_programs "armhf, qemu-arm -cpu arm1176" "$unpacked" qemu-arm -cpu arm1176
  else
    # Against the C and C++ libraries of Debian's arm64 port, which the
    # package depends on (installed as the README lists).
    echo "=== arm64"
    run_programs "arm64, qemu-aarch64" "$unpacked" qemu-aarch64
  fi
done

# --- each package in a scratch root: an enabled instance, then purge ------------
for arch in "$native" armhf arm64; do
  root=$scratch/root-$arch
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  [ "$arch" = "$native" ] || dpkg --root="$root" --add-architecture "$arch"
  # The scratch root holds no C library or adduser for the Depends; the
  # maintainer scripts run outside it with DPKG_ROOT set, as debhelper's
  # scripts allow (and ours: no module loaded, no group made).
  out=$(dpkg --root="$root" --force-script-chrootless --force-depends -i "${deb[$arch]}" 2>&1) ||
    fail "$arch: dpkg --root -i failed: $out"
  out=$(systemctl --root="$root" enable orvplayer@show.txt 2>&1) ||
    fail "$arch: systemctl --root enable failed: $out"
  [ -L "$root/etc/systemd/system/multi-user.target.wants/orvplayer@show.txt.service" ] ||
    fail "$arch: systemctl --root enable made no link"
  out=$(dpkg --root="$root" --force-script-chrootless --purge orvplayer 2>&1) ||
    fail "$arch: dpkg --root --purge failed: $out"
  # Only empty directories may stay that other packages would own
  # (/etc/systemd/system/multi-user.target.wants and the like), and dpkg's
  # own database.
  left=$(cd "$root" && find . -not -type d -not -path './var/lib/dpkg/*')
  [ -z "$left" ] || fail "$arch: after enabling an instance and purging, left in the scratch root: $left"
  echo "$arch: scratch root, instance enabled with systemctl --root, purged: nothing left"
done
echo "package check: passed"
