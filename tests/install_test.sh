#!/bin/sh
# make install and make uninstall as a user would run them, from a copy of the tree: as someone
# without root (nobody, when we are root) who has the tool's packages, for themselves under a home directory; then
# staged under DESTDIR after an install elsewhere was recorded over by a package build's. What
# is installed is exactly the list below, the binary stripped; uninstall removes just that.
# FREEIMAGE_PREFIX: a FreeImage on no system path (one built from source), taken from a copy;
# then BUILD_DIR, the build that carries it, installs it beside the tool where the system keeps a
# program's own libraries, on the binary's run path, and no file of the Debian package's own.
#
#   sh tests/install_test.sh SOURCE_DIR [CMAKE_FLAGS [FREEIMAGE_PREFIX BUILD_DIR]]
set -eu
src=$1
flags=${2:-}
freeimage=${3:-}
build=${4:-}
fail() { echo "install_test: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
as_user() { "$@"; }
if [ "$(id -u)" = 0 ]; then
    command -v setpriv >/dev/null || { echo "skipped: needs setpriv to run as nobody"; exit 77; }
    chown 65534:65534 "$work"
    as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work" "$@"; }
fi
# A copy of what the tool's build reads, so that nobody may read it wherever the tree is.
mkdir "$work/src"
(cd "$src" && cp -R Makefile CMakeLists.txt README.md cmake doc man packaging src tools "$work/src/")
[ -z "$freeimage" ] || cp -R "$freeimage" "$work/freeimage"
src=$work/src
[ "$(id -u)" != 0 ] || chown -R 65534:65534 "$work/src"
files="bin/vozk-render
share/doc/vozk-render/README.md
share/doc/vozk-render/changelog.gz
share/doc/vozk-render/copyright
share/doc/vozk-render/doc/glyphs.png
share/doc/vozk-render/doc/sample.png
share/man/man1/vozk-render.1.gz"
listed() { (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort); }
run_make() { as_user make -s -C "$src" BUILD="$work/build" CMAKE_FLAGS="$flags" \
    ${freeimage:+FREEIMAGE_ROOT="$work/freeimage"} "$@" >"$work/log" 2>&1 ||
    { cat "$work/log"; fail "make $* failed"; }; }

# For oneself, without root: the four packages are there, so nothing asks for sudo.
home=$work/home/.local
run_make install PREFIX="$home"
[ "$(listed "$home")" = "$files" ] || fail "make install put in place
$(listed "$home")
where it should put
$files"
! readelf -S "$home/bin/vozk-render" | grep -q -e '\.symtab' -e '\.debug' ||
    fail "the installed binary is not stripped"
printf 'HELLO\n' | "$home/bin/vozk-render" 3 "$work/hello.png" >/dev/null ||
    fail "the installed binary does not run"
run_make uninstall
[ -z "$(listed "$home")" ] || fail "make uninstall left $(listed "$home")"
[ ! -e "$home/share/doc/vozk-render" ] || fail "make uninstall left the doc directory"
echo "install_test: installed for nobody under a home directory, stripped, and uninstalled"

# Staged: a package build records its own install over CMake's list (as cpack does), and a copy
# at the same paths without DESTDIR must survive the uninstall of the staged one.
stage=$work/stage
run_make install DESTDIR="$stage" PREFIX="$home"
as_user env DESTDIR="$work/package" cmake --install "$work/build" --prefix /usr >/dev/null
as_user mkdir -p "$home/bin" && as_user cp "$stage$home/bin/vozk-render" "$home/bin/"
run_make uninstall
[ -z "$(listed "$stage")" ] || fail "make uninstall left $(listed "$stage")"
[ -f "$home/bin/vozk-render" ] || fail "make uninstall removed a file outside DESTDIR"
! as_user make -s -C "$src" BUILD="$work/build" uninstall >/dev/null 2>&1 ||
    fail "a second make uninstall found something to remove"
echo "install_test: staged under DESTDIR and uninstalled from there alone"

[ -n "$freeimage" ] || exit 0
carried=$work/carried
cmake --install "$build" --prefix "$carried" >"$work/log" 2>&1 || { cat "$work/log"; fail "cmake --install $build failed"; }
lib=$(listed "$carried" | grep '/vozk-render/libFreeImage\.so$') || fail "$build installs no libFreeImage.so"
[ "$(listed "$carried")" = "$(printf '%s\n%s\n' "$files" "$lib" | LC_ALL=C sort)" ] ||
    fail "the build that carries FreeImage installs
$(listed "$carried")"
readelf -d "$carried/bin/vozk-render" | grep -qF "[\$ORIGIN/../${lib%/*}]" ||
    fail "the run path is not \$ORIGIN/../${lib%/*}: $(readelf -d "$carried/bin/vozk-render" | grep -i path)"
printf 'HELLO\n' | "$carried/bin/vozk-render" 3 "$work/carried.png" >/dev/null ||
    fail "the binary that carries FreeImage does not run"
# As make install records it: CMake's list ends without a newline.
awk 1 "$build/install_manifest.txt" >"$work/carried.txt" && sh "$src/tools/uninstall" "$work/carried.txt" >/dev/null
[ -z "$(listed "$carried")" ] && [ -z "$(find "$carried" -name vozk-render)" ] ||
    fail "uninstall left $(find "$carried" -name '*vozk-render*')"
echo "install_test: FreeImage installed in $lib, on the binary's run path, and uninstalled"
