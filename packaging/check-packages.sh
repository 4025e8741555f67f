#!/usr/bin/env bash
# The Debian packages' checks, after packaging/build-package.sh has built
# them for amd64 (this machine), armhf and arm64 into build/:
#   - lintian on each build (binary, debug symbols; the native one also on
#     the source package): no errors, no warnings;
#   - each package holds programs for its architecture; the armhf ones are
#     static, ARMv6 at most with no Thumb-2 (readelf -A), and run under
#     qemu-arm -cpu arm1176; the arm64 ones run under qemu-aarch64;
#   - the native package installed with dpkg -i, upgraded, removed and
#     purged, its programs, manual pages and units used as installed, and
#     what its maintainer scripts ask of systemd recorded;
#   - each package installed into a scratch root, an instance enabled there
#     with systemctl --root, and a purge that leaves nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."

native=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -S Version)
scratch=$(mktemp -d)
cleanup() {
  if dpkg -s orvplayer >/dev/null 2>&1; then
    dpkg --purge orvplayer >/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
  echo "package check: $*"
  exit 1
}

usage="syntax: orvplayer -b [baud] -f [filename] -d [delay]"
expected_usage=$(printf 'no filename\n%s\nno baud rate\n\n%s\nno delay\n\n%s' "$usage" "$usage" "$usage")

# run_programs LABEL BIN_DIR EXAMPLES_DIR [EMULATOR WORDS...]: both programs
# (from BIN_DIR, or from the PATH if it is empty) as a user runs them: the player without arguments prints its three usage
# messages with status 1; the checker reads the example show cleanly.
run_programs() {
  local label=$1 bin=$2 examples=$3
  shift 3
  local status=0 out
  out=$("$@" "${bin:+$bin/}orvplayer") || status=$?
  if [ "$status" -ne 1 ] || [ "$out" != "$expected_usage" ]; then
    printf '%s\n' "$label: orvplayer without arguments: status $status, output:" "$out"
    exit 1
  fi
  out=$("$@" "${bin:+$bin/}orvplayer-check" "$examples/hello.txt") ||
    fail "$label: orvplayer-check on the example show failed: $out"
  case "$out" in
    *"summary: 9 cues, 0 lines passed over"*) ;;
    *) fail "$label: orvplayer-check printed: $out" ;;
  esac
  echo "$label: orvplayer prints its usage (status 1), orvplayer-check reads the example show"
}

# elf_field FILE FIELD: a field of the ELF header (Class, Machine, Type).
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

# --- lintian, and what each package holds -----------------------------------
declare -A deb
for arch in "$native" armhf arm64; do
  deb[$arch]=build/packages/orvplayer_${version}_$arch.deb
  [ -f "${deb[$arch]}" ] || fail "${deb[$arch]} is missing: run packaging/build-package.sh $arch"
  changes=build/deb/$arch/orvplayer_${version}_$arch.changes
  echo "=== lintian $changes"
  lintian --fail-on error,warning "$changes"
  echo "$(basename "${deb[$arch]}"): $(stat -c %s "${deb[$arch]}") bytes;" \
    "Depends: $(dpkg-deb -f "${deb[$arch]}" Depends)"
done

for arch in armhf arm64; do
  unpacked=$scratch/unpacked-$arch
  dpkg-deb -x "${deb[$arch]}" "$unpacked"
  [ "$(dpkg-deb -f "${deb[$arch]}" Architecture)" = "$arch" ] || fail "$arch: wrong Architecture field"
  for program in orvplayer orvplayer-check; do
    file=$unpacked/usr/bin/$program
    class=$(elf_field "$file" Class)
    machine=$(elf_field "$file" Machine)
    case "$arch:$class:$machine" in
      armhf:ELF32:ARM | arm64:ELF64:AArch64) ;;
      *) fail "$arch package: $program is $class $machine" ;;
    esac
  done
  if [ "$arch" = armhf ]; then
    echo "=== armhf: ARMv6, static"
    for program in orvplayer orvplayer-check; do
      file=$unpacked/usr/bin/$program
      check_armv6 "$file"
      headers=$(readelf -l "$file")
      if grep -q INTERP <<<"$headers" || [ -n "$(dpkg-deb -f "${deb[$arch]}" Depends)" ]; then
        fail "armhf: $program is not a static program without Depends"
      fi
    done
    run_programs "armhf, qemu-arm -cpu arm1176" "$unpacked/usr/bin" \
      "$unpacked/usr/share/doc/orvplayer/examples" qemu-arm -cpu arm1176
  else
    # Against the C and C++ libraries of Debian's arm64 port, which the
    # package depends on (installed as the README lists).
    echo "=== arm64"
    run_programs "arm64, qemu-aarch64" "$unpacked/usr/bin" \
      "$unpacked/usr/share/doc/orvplayer/examples" qemu-aarch64
  fi
done

# --- the native package, installed --------------------------------------------
# The maintainer scripts talk to systemd only when it runs (/run/systemd/system
# exists). Here they run in a private mount namespace where it seems to, with a
# systemctl that records what it is asked (and hands offline work on unit
# files, --root=, to the real one), so that what they do is seen. A
# policy-rc.d that forbids starting services (as container images have) is
# set aside there too.
stub=$scratch/stub
mkdir -p "$stub"
cat >"$stub/systemctl" <<EOF
#!/bin/sh
echo "systemctl \$*" >>"\$ORV_SYSTEMCTL_LOG"
case " \$* " in
  *" --root="*) exec $(command -v systemctl) "\$@" ;;
  *" is-enabled "*) echo enabled ;;
esac
exit 0
EOF
printf '#!/bin/sh\nexit 0\n' >"$stub/policy-rc.d"
chmod +x "$stub/systemctl" "$stub/policy-rc.d"
export ORV_SYSTEMCTL_LOG=$scratch/systemctl.log
with_systemd() {
  : >"$ORV_SYSTEMCTL_LOG"
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare --mount --propagation private bash -c '
    mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system
    if [ -e /usr/sbin/policy-rc.d ]; then mount --bind "$0/policy-rc.d" /usr/sbin/policy-rc.d; fi
    PATH="$0:$PATH" exec "$@"' "$stub" "$@"
}
# expect_calls WHAT PATTERN...: each pattern matches a recorded call.
expect_calls() {
  local what=$1 calls pattern
  shift
  calls=$(cat "$ORV_SYSTEMCTL_LOG")
  for pattern in "$@"; do
    grep -Eq -- "$pattern" <<<"$calls" || {
      printf '%s\n' "$what: no systemctl call matching '$pattern'; calls:" "$calls"
      exit 1
    }
  done
}

echo "=== dpkg -i ${deb[$native]}"
with_systemd dpkg -i "${deb[$native]}"
expect_calls "install" 'daemon-reload' ' start orvplayer\.target'
[ -L /etc/systemd/system/multi-user.target.wants/orvplayer.target ] ||
  fail "install: orvplayer.target is not enabled"
echo "install: systemd reloaded its units; orvplayer.target enabled and started"

with_systemd dpkg -i "${deb[$native]}"
expect_calls "upgrade" 'daemon-reload'
if grep -Eq 'restart|stop' "$ORV_SYSTEMCTL_LOG"; then
  fail "upgrade: shows were stopped or restarted: $(cat "$ORV_SYSTEMCTL_LOG")"
fi
echo "upgrade (the same version again): systemd reloaded its units; no show stopped"

run_programs "$native, installed" "" /usr/share/doc/orvplayer/examples env
man -w orvplayer orvplayer-check >/dev/null
for page in orvplayer orvplayer-check; do
  text=$(MANWIDTH=80 man "$page" 2>&1)
  grep -q "^NAME" <<<"$text" || fail "man $page: $text"
done
echo "man orvplayer, man orvplayer-check: render"
conffiles=$(dpkg-query -W -f '${Conffiles}' orvplayer)
grep -q '^ /etc/default/orvplayer ' <<<"$conffiles" || fail "/etc/default/orvplayer is not a conffile"
grep -qx 'PartOf=orvplayer.target' /lib/systemd/system/orvplayer@.service ||
  fail "orvplayer@.service is not part of orvplayer.target"
systemd-analyze verify /lib/systemd/system/orvplayer@show.txt.service /lib/systemd/system/orvplayer.target
echo "units: orvplayer@.service (part of orvplayer.target) and orvplayer.target verified"

echo "=== dpkg -r orvplayer"
with_systemd dpkg -r orvplayer
expect_calls "remove" 'stop orvplayer\.target' 'daemon-reload'
echo "remove: orvplayer.target stopped, and with it every orvplayer@ instance; systemd reloaded"
left=$(dpkg-query -W -f '${db:Status-Status}' orvplayer)
[ "$left" = config-files ] || fail "after dpkg -r: status $left"
for path in /usr/bin/orvplayer /usr/bin/orvplayer-check /lib/systemd/system/orvplayer@.service \
  /lib/systemd/system/orvplayer.target /usr/share/doc/orvplayer /usr/share/man/man1/orvplayer.1.gz; do
  [ ! -e "$path" ] || fail "after dpkg -r: $path is still there"
done
echo "remove: only the conffile /etc/default/orvplayer and the enablement links stay until purge"

with_systemd dpkg --purge orvplayer
for path in /etc/default/orvplayer /etc/systemd/system/multi-user.target.wants/orvplayer.target \
  /var/lib/systemd/deb-systemd-helper-enabled/orvplayer.target.dsh-also; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    fail "after dpkg --purge: $path is still there"
  fi
done
dpkg -s orvplayer >/dev/null 2>&1 && fail "after dpkg --purge: dpkg still knows orvplayer"
echo "purge: nothing left"

# --- each package in a scratch root: an enabled instance, then purge -----------
for arch in "$native" armhf arm64; do
  root=$scratch/root-$arch
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  [ "$arch" = "$native" ] || dpkg --root="$root" --add-architecture "$arch"
  # The scratch root holds no C library for the native and arm64 packages'
  # Depends; the maintainer scripts run outside it with DPKG_ROOT set, as
  # debhelper's scripts allow.
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
