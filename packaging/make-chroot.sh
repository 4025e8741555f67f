#!/usr/bin/env bash
# Makes a clean Debian chroot tarball with mmdebstrap, whole or not at all:
#   packaging/make-chroot.sh TARBALL SUITE [MMDEBSTRAP-OPTION...]
# mmdebstrap writes a part- file beside TARBALL, which is moved into place
# only when it succeeded. A failed run leaves neither behind, and its output
# ends with mmdebstrap's own error.
#
# A mirror caught between two syncs serves a Release file that one of its
# indexes does not match yet ("Mirror sync in progress?"), and mmdebstrap's
# apt-get update fails on that index. When every index that failed belongs
# to a suite other than SUITE itself (its -updates or -security), the
# chroot is made once more without those suites, and the script says which
# it left out: what is installed then comes from lists that match each
# other, and a package those lists cannot install still fails. An index of
# SUITE itself that fails ends the run.
# A chroot made without a suite is marked by TARBALL.lacks (see
# chroot_is_current in debian-env.sh). MMDEBSTRAP names the program to run (a stand-in, for the tests).
set -euo pipefail
[ "$#" -ge 2 ] || { echo "usage: $0 TARBALL SUITE [MMDEBSTRAP-OPTION...]"; exit 2; }
tarball=$1 suite=$2
shift 2
part=$(dirname "$tarball")/part-$(basename "$tarball")
log=$(mktemp)
trap 'rm -f "$part" "$log"' EXIT

# attempt OPTION...: one mmdebstrap run, its output shown and kept in $log.
attempt() {
  rm -f "$part"
  "${MMDEBSTRAP:-mmdebstrap}" "$@" "$suite" "$part" 2>&1 | tee "$log"
}

# failed_suites: the suites whose indexes apt failed to fetch, one a line.
failed_suites() {
  sed -n 's#.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*#\1#p' "$log" | sort -u
}

# give_up STATUS: the tool's error last, then the failure.
give_up() {
  echo "=== the chroot $tarball was not made: ${MMDEBSTRAP:-mmdebstrap} ended with status $1; its error:"
  grep -E '^(E|W): ' "$log" | tail -n 20 || tail -n 20 "$log"
  exit 1
}

leave_out=()
status=0
attempt "$@" || status=$?
if [ "$status" -ne 0 ]; then
  mapfile -t broken < <(failed_suites)
  [ "${#broken[@]}" -gt 0 ] || give_up "$status"
  for name in "${broken[@]}"; do
    [ "$name" != "$suite" ] || give_up "$status"
    # One-line sources: "deb [options] URI SUITE COMPONENT...".
    leave_out+=("--setup-hook=sed -i -E '/^deb(-src)?( \\[[^]]*\\])? [^ ]+ $name( |\$)/d' \"\$1\"/etc/apt/sources.list")
  done
  echo "=== W: the mirror's index of ${broken[*]} failed (a mirror in mid-sync?);" \
    "the chroot is made without ${broken[*]}, from the lists that match"
  status=0
  attempt "$@" "${leave_out[@]}" || status=$?
  [ "$status" -eq 0 ] || give_up "$status"
fi
[ -s "$part" ] || { echo "=== ${MMDEBSTRAP:-mmdebstrap} made an empty $part"; exit 1; }
mv "$part" "$tarball"
# TARBALL.lacks names the suites left out, so that a later run can try to
# make the chroot whole again.
if [ "${#leave_out[@]}" -gt 0 ]; then
  printf '%s\n' "${broken[@]}" >"$tarball.lacks"
else
  rm -f "$tarball.lacks"
fi
