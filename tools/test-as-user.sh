#!/usr/bin/env bash
# Runs the README's test command as an unprivileged user, as a newcomer
# runs it: in a copy of the tree that the user owns, outside any private
# home. As root, tests that need root's powers run and those that need a
# normal user's skip; here it is the other way round, so that between this
# run and CI's own every test runs at least once.
#   tools/test-as-user.sh [USER]        (default: nobody)
set -euo pipefail
cd "$(dirname "$0")/.."
user=${1:-nobody}
group=$(id -gn "$user")
copy=$(mktemp -d /tmp/orvplayer-as-user.XXXXXX)
trap 'rm -rf "$copy"' EXIT
# The tree as it stands: tracked files (with their changes) and new files
# that are not ignored.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do
    [ -e "$file" ] && printf '%s\0' "$file"
  done | tar --null -T - -cf - | tar -xf - -C "$copy"
chown -R "$user:$group" "$copy"
chmod 755 "$copy"
cd "$copy"
# Temporary files of its own (gtest's TempDir), so that it can run beside
# another run of the suite, as CI runs it.
mkdir -p "$copy/tmp"
chown "$user:$group" "$copy/tmp"
echo "=== as $user ($(id -u "$user")): cmake --workflow --preset test, in $copy"
setpriv --reuid="$user" --regid="$group" --clear-groups env HOME="$copy" TEST_TMPDIR="$copy/tmp/" \
  cmake --workflow --preset test
