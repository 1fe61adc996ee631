#!/bin/sh
# FreeImage and zlib-ng built from source are taken only at their pinned commits: a repository
# whose release tag names another commit (a tag moved, or not that project's repository at all)
# is refused at configure, naming that commit, before anything is built from either.
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
moved=$(git -C "$work/repo" rev-parse HEAD)
mkdir "$work/yours"
# the project | the CMake arguments that fetch it from that repository, its tag moved there
while read -r name args; do
    tag=$(sed -n "s/^set(${name}_tag \(.*\))$/\1/p" "$src/cmake/FreeImageFromSource.cmake")
    git -C "$work/repo" tag "$tag"
    rm -rf "$work/build"
    # shellcheck disable=SC2086 # the flags and arguments are words
    if cmake -S "$src" -B "$work/build" -DVOZK_TESTS=OFF -DVOZK_BENCH=OFF $flags \
        -DFREEIMAGE_FROM_SOURCE=ON $args >"$work/log" 2>&1; then
        fail "$name: a moved tag was taken"
    fi
    # CMake wraps the message's lines.
    tr -s ' \n' '  ' <"$work/log" | grep -q "$tag from file://$work/repo is commit '$moved', not [0-9a-f]\{40\}:" ||
        { cat "$work/log"; fail "$name: no word of the commit"; }
    for built in freeimage zlibng; do
        [ ! -e "$work/build/_deps/$built-build/CMakeCache.txt" ] || fail "$name: $built was configured"
    done
    echo "freeimage_pin_test: $name's tag $tag at another commit refused before the build"
done <<END
freeimage -DFREEIMAGE_REPO=$work/repo
zlibng -DFETCHCONTENT_SOURCE_DIR_FREEIMAGE=$work/yours -DZLIBNG_REPO=$work/repo
END
