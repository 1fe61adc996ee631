#!/bin/sh
# FreeImage under a prefix of its own, as for a user who built it: a copy of the header and the
# library in a scratch prefix is what CMake finds through FreeImage_ROOT and through
# CMAKE_PREFIX_PATH, what the tool is linked with, and what the tool built and installed loads.
# A named prefix without it is refused.
#
#   sh tests/freeimage_prefix_test.sh SOURCE_DIR FREEIMAGE_H LIBFREEIMAGE_SO [CMAKE_FLAGS]
set -eu
src=$1
header=$2
library=$3
flags=${4:-}
fail() { echo "freeimage_prefix_test: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/freeimage
mkdir -p "$prefix/include" "$prefix/lib"
cp "$header" "$prefix/include/"
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ -n "$soname" ] || fail "no SONAME in $library"
cp -L "$library" "$prefix/lib/$soname"
# The fork's name for the library (its soname too), which must be found here before the system's
# libfreeimage.so.
[ -e "$prefix/lib/libFreeImage.so" ] || ln -s "$soname" "$prefix/lib/libFreeImage.so"

for hint in "-DFreeImage_ROOT=$prefix" "-DCMAKE_PREFIX_PATH=$prefix"; do
    build=$work/build
    rm -rf "$build"
    # shellcheck disable=SC2086 # the flags are words
    cmake -S "$src" -B "$build" -DVOZK_TESTS=OFF -DVOZK_BENCH=OFF $flags "$hint" >"$work/log" 2>&1 ||
        { cat "$work/log"; fail "cmake $hint failed"; }
    cmake --build "$build" -j 2 >"$work/log" 2>&1 || { cat "$work/log"; fail "the build failed"; }
    cmake --install "$build" --prefix "$work/installed" --strip >/dev/null
    for bin in "$build/vozk-render" "$work/installed/bin/vozk-render"; do
        # The dynamic loader lists what it would load, as ldd does (and also under emulation).
        LD_TRACE_LOADED_OBJECTS=1 "$bin" | grep -q "=> $prefix/lib/$soname " ||
            fail "$bin does not load the library from $prefix/lib: $(LD_TRACE_LOADED_OBJECTS=1 "$bin")"
        printf 'HELLO\n' | "$bin" 3 "$work/hello.png" >/dev/null || fail "$bin does not draw"
    done
    echo "freeimage_prefix_test: $hint: found, linked and loaded from the scratch prefix"
done

# A named prefix without FreeImage fails, though the system may have one.
# shellcheck disable=SC2086 # the flags are words
if cmake -S "$src" -B "$work/nowhere" -DVOZK_TESTS=OFF -DVOZK_BENCH=OFF $flags \
    -DFreeImage_ROOT="$work/empty" >"$work/log" 2>&1; then
    fail "a prefix without FreeImage was taken"
fi
tr -s ' \n' '  ' <"$work/log" | grep -q "no FreeImage under $work/empty," ||
    { cat "$work/log"; fail "no word of the prefix"; }
echo "freeimage_prefix_test: a prefix without FreeImage is refused"
