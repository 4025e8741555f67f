#!/bin/sh
# Runs the README's "Try it without a board" commands as they stand, but
# for the paths: the build tree's player and upload directory, and a
# folder of the test's own for the pseudo-terminals. What cat printed must
# be the show's cues, in order. Installing is left out; without socat the
# test is skipped (status 77).
#   readme_try_test.sh README PLAYER UPLOAD_DIR
set -eu
readme=$1 player=$2 upload=$3
if ! command -v socat >/dev/null; then
    echo "socat is not installed: skipped"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The section's first code block, without the install; the last cue's
# bytes are given a moment to reach cat before it is killed.
sed -n '/^## Try it without a board/,/^## A first show/p' "$readme" |
    awk '/^```/ { if (inside) exit; inside = 1; next } inside' |
    grep -v '^sudo ' |
    sed -e "s|/home/yot/media/upload/|$upload/|g" -e "s|/tmp/prop|$work/prop|g" \
        -e "s|^orvplayer |\"$player\" |" -e 's|^kill |sleep 1; kill |' >"$work/commands"
grep -q "$player" "$work/commands" || { echo "no player command in the README's block"; exit 1; }

# Without -e: however the player ends, the block's last line ends socat and
# cat, and what was printed tells.
cd "$(dirname "$readme")"
bash "$work/commands" >"$work/printed"
expected=$(sed 's/^[0-9a-f]*://' examples/hello.txt)
if [ "$(cat "$work/printed")" != "$expected" ]; then
    echo "cat printed:"; cat "$work/printed"
    echo "expected:"; echo "$expected"
    exit 1
fi
echo "the README's commands played examples/hello.txt whole"
