#!/usr/bin/env bash
# Tests packaging/make-chroot.sh against a stand-in for mmdebstrap, which
# plays each case's mirror: one that is whole, one whose -security index is
# caught in mid-sync, one whose own suite's index is, and a tool that fails
# some other way. A chroot is made whole, made without the broken suite, or
# not made at all (nothing left behind, the tool's error last).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-in: runs the setup hooks on a chroot whose sources name three
# suites, the way mmdebstrap does, then fails where the case's mirror says
# a suite still in the sources is broken, or writes the tarball.
cat >"$work/mmdebstrap" <<'STUB'
#!/usr/bin/env bash
root=$(mktemp -d)
mkdir -p "$root/etc/apt"
printf '%s\n' "deb http://mirror.invalid/debian bookworm main" \
  "deb http://mirror.invalid/debian bookworm-updates main" \
  "deb [signed-by=/k.gpg] http://mirror.invalid/debian-security bookworm-security main" \
  >"$root/etc/apt/sources.list"
for word in "$@"; do
  case "$word" in
    --setup-hook=*) sh -c "${word#--setup-hook=}" exec "$root" ;;
  esac
done
target=${*: -1}
case "$CASE" in
  broken-tool)
    : >"$target"
    echo "E: mmdebstrap: the stand-in fails"; exit 1 ;;
  *)
    for suite in $CASE; do
      if grep -q " $suite " "$root/etc/apt/sources.list"; then
        : >"$target"
        echo "E: Failed to fetch http://mirror.invalid/x/dists/$suite/main/binary-armhf/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"
        echo "E: apt-get update --error-on=any failed"
        exit 1
      fi
    done
    cp "$root/etc/apt/sources.list" "$target" ;;
esac
STUB
chmod +x "$work/mmdebstrap"

failures=0
# case NAME MIRROR STATUS SUITES-IN-TARBALL LAST-LINE
check() {
  local name=$1 mirror=$2 want_status=$3 want_suites=$4 want_last=$5 status=0 out got
  rm -f "$work/chroot.tar" "$work/chroot.tar.lacks"
  out=$(CASE=$mirror MMDEBSTRAP=$work/mmdebstrap "$here/make-chroot.sh" "$work/chroot.tar" bookworm \
    --variant=minbase 2>&1) || status=$?
  got=$([ ! -f "$work/chroot.tar" ] || awk '{print $(NF-1)}' "$work/chroot.tar" | paste -sd' ' -)
  local problems=()
  [ "$status" -eq "$want_status" ] || problems+=("status $status, not $want_status")
  [ "$got" = "$want_suites" ] || problems+=("tarball holds '$got', not '$want_suites'")
  [ -z "$(find "$work" -maxdepth 1 -name 'part-*')" ] || problems+=("a part- file is left")
  [[ "$(tail -n 1 <<<"$out")" == *"$want_last"* ]] || problems+=("last line: $(tail -n 1 <<<"$out")")
  if [ "$want_status" -eq 0 ] && [ "$want_suites" != "bookworm bookworm-updates bookworm-security" ]; then
    grep -q "without bookworm-security" <<<"$out" || problems+=("does not say what it left out")
    [ -f "$work/chroot.tar.lacks" ] || problems+=("no .lacks mark")
  fi
  if [ "${#problems[@]}" -eq 0 ]; then
    echo "ok: $name"
  else
    echo "FAIL: $name: ${problems[*]}"
    echo "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

check "a whole mirror gives a whole chroot" "" 0 "bookworm bookworm-updates bookworm-security" ""
check "-security in mid-sync: made without it, and said" bookworm-security 0 \
  "bookworm bookworm-updates" ""
check "the suite itself in mid-sync: not made, apt's error last" bookworm 1 "" \
  "E: apt-get update --error-on=any failed"
check "a tool that fails otherwise: not made, its error last" broken-tool 1 "" \
  "E: mmdebstrap: the stand-in fails"
check "still broken without the suite: not made" "bookworm-security bookworm-updates x" 1 "" \
  "E: apt-get update --error-on=any failed"
echo "$((5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
