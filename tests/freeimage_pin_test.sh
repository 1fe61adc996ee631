#!/bin/sh
# FreeImage built from source is taken only at its pinned commit: a repository whose release tag
# names another commit (a tag moved, or not FreeImage's repository at all) is refused at
# configure, naming that commit, before anything is built from it.
#
#   sh tests/freeimage_pin_test.sh SOURCE_DIR [CMAKE_FLAGS]
set -eu
src=$1
flags=${2:-}
fail() { echo "freeimage_pin_test: $*" >&2; exit 1; }
command -v git >/dev/null || { echo "skipped: needs git (Debian package git)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git init -q "$work/repo"
git -C "$work/repo" -c user.name=test -c user.email=test@localhost commit -q --allow-empty -m other
tag=$(sed -n 's/^set(freeimage_tag \(.*\))$/\1/p' "$src/cmake/FreeImageFromSource.cmake")
git -C "$work/repo" tag "$tag"
moved=$(git -C "$work/repo" rev-parse HEAD)
# shellcheck disable=SC2086 # the flags are words
if cmake -S "$src" -B "$work/build" -DVOZK_TESTS=OFF -DVOZK_BENCH=OFF $flags \
    -DFREEIMAGE_FROM_SOURCE=ON -DFREEIMAGE_REPO="$work/repo" >"$work/log" 2>&1; then
    fail "a moved tag was taken"
fi
# CMake wraps the message's lines.
tr -s ' \n' '  ' <"$work/log" | grep -q "is commit '$moved', not [0-9a-f]\{40\}:" ||
    { cat "$work/log"; fail "no word of the commit"; }
[ ! -e "$work/build/_deps/freeimage-build/CMakeCache.txt" ] || fail "its source was configured"
echo "freeimage_pin_test: tag $tag at another commit refused before the build"
