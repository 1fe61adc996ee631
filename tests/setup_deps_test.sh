#!/bin/sh
# tools/setup-deps against stand-ins. With apt (stand-ins for dpkg-query, apt-cache, apt-get and
# id): it installs what is missing, asks for nothing when nothing is, takes what building
# FreeImage from source needs where the release has no FreeImage or that build is asked for, and
# stops before installing anything when this release has no candidate for a package or apt-cache
# fails. Without apt (a PATH of stand-in commands and a compiler that finds the headers named):
# it says nothing when all is here, and otherwise names what is missing and the packages of the
# distribution that os-release names.
#
#   sh tests/setup_deps_test.sh SOURCE_DIR
set -eu
src=$1
fail() { echo "setup_deps_test: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/tools"
cat >"$work/bin/dpkg-query" <<'END'
#!/bin/sh
case " $INSTALLED " in *" $3 "*) echo "install ok installed" ;; *) exit 1 ;; esac
END
cat >"$work/bin/apt-cache" <<'END'
#!/bin/sh
echo "$2:"
case " $NO_CANDIDATE " in *" $2 "*) echo "  Candidate: (none)"; exit 0 ;; *" broken "*) exit 100 ;; esac
echo "  Candidate: 1.0-1"
END
printf '#!/bin/sh\necho "$*" >>"$APT_LOG"\n' >"$work/bin/apt-get"
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
# Without apt: a compiler that finds just the headers in $INSTALLED; any other command.
cat >"$work/c++" <<'END'
#!/bin/sh
src=$(cat)
case $src in *"#include <"*) h=${src#*<} && h=${h%%>*} ;; *) exit 0 ;; esac
case " $INSTALLED " in *" $h "*) exit 0 ;; *) exit 1 ;; esac
END
printf '#!/bin/sh\n' >"$work/command"
chmod +x "$work/bin/"* "$work/c++" "$work/command"
for t in cat cut dirname grep head sed sort tr; do ln -s "$(command -v $t)" "$work/tools/$t"; done
sh=$(command -v sh)

# FREEIMAGE_FROM_SOURCE | os-release's ID lines, or none where apt is there | what is installed
# (with apt: packages; without: commands, cmake=VERSION and headers) | without a candidate | the packages asked
# for | exit status | what apt-get did | standard error, its lines ;-separated
tools="git ca-certificates"
all="g++ cmake make libfreeimage-dev libgtest-dev libbenchmark-dev valgrind strace acl parallel netpbm imagemagick git"
here="c++ cmake=3.21.0 make git valgrind strace setfacl parallel pngtopnm convert FreeImage.h gtest/gtest.h benchmark/benchmark.h"
missing="setup-deps: missing, and without apt nothing is installed here:"
while IFS='|' read -r forced os installed none packages status apt err; do
    : >"$work/apt" && rm -rf "$work/here" && mkdir "$work/here"
    path=$work/bin:$PATH
    if [ -n "$os" ]; then
        path=$work/here:$work/tools
        printf '%s\n' "$os" | tr ';' '\n' >"$work/os-release"
        for c in $installed; do
            case $c in
            *.h) ;;
            c++) cp "$work/c++" "$work/here/" ;;
            cmake=*) printf '#!/bin/sh\necho "cmake version %s"\n' "${c#cmake=}" >"$work/here/cmake" ;;
            *) cp "$work/command" "$work/here/$c" ;;
            esac
        done
        chmod +x "$work/here/"* 2>/dev/null || true
    fi
    s=0
    # shellcheck disable=SC2086 # the packages are words
    FREEIMAGE_FROM_SOURCE=$forced INSTALLED=$installed NO_CANDIDATE=$none APT_LOG=$work/apt \
        OS_RELEASE=$work/os-release PATH=$path \
        "$sh" "$src/tools/setup-deps" $packages >/dev/null 2>"$work/err" || s=$?
    row="[$forced|$os|$installed|$none|$packages]"
    [ "$s" = "$status" ] || fail "$row exit status $s, not $status"
    [ "$(tr '\n' ';' <"$work/apt")" = "$apt" ] || fail "$row apt-get did: $(cat "$work/apt")"
    [ "$(tr '\n' ';' <"$work/err")" = "$err" ] || fail "$row said: $(cat "$work/err")"
done <<END
||g++ libfreeimage-dev||g++ libfreeimage-dev|0||
||g++ libfreeimage-dev|libfreeimage-dev|g++ libfreeimage-dev|0||
||g++||g++ libfreeimage-dev|0|update -qq;install -y -qq --no-install-recommends libfreeimage-dev;|
|||broken|g++ libfreeimage-dev|100||
||g++|libfreeimage-dev|g++ libfreeimage-dev|0|update -qq;install -y -qq --no-install-recommends $tools;|
||g++ $tools|libfreeimage-dev|g++ libfreeimage-dev|0||
ON||g++ libfreeimage-dev||g++ libfreeimage-dev|0|update -qq;install -y -qq --no-install-recommends $tools;|
|||g++|g++ libfreeimage-dev|1|update -qq;|setup-deps: this Debian release cannot install: g++;
|ID=other|$here||$all|0||
|ID=other|apt-get $here||$all|0||
|ID=fedora|cmake=3.25.1 make FreeImage.h||g++ cmake make libfreeimage-dev libclang-rt-dev|1||setup-deps: this needs Debian's package libclang-rt-dev, which is looked for on Debian alone;
|ID=fedora|c++ cmake=3.25.1 make FreeImage.h valgrind strace setfacl parallel pngtopnm convert||$all|1||$missing GoogleTest, Google Benchmark, git;  install with: sudo dnf install gtest-devel google-benchmark-devel git;
|ID="rocky";ID_LIKE="rhel centos fedora"|c++ cmake=3.20.6 make||g++ cmake make libfreeimage-dev git|1||$missing cmake 3.21 or later, git;  install with: sudo dnf install cmake git;
|ID="opensuse-tumbleweed";ID_LIKE="opensuse suse"|$(echo "$here" | sed 's/=3.21.0/=4.3.4/')||$all|0||
|ID="opensuse-leap";ID_LIKE="suse opensuse"|c++ cmake=3.25.1 make git FreeImage.h||$all|1||$missing GoogleTest, Google Benchmark, valgrind, strace, setfacl, GNU parallel, netpbm (pngtopnm), ImageMagick (convert);  install with: sudo zypper install googletest-devel benchmark-devel valgrind strace acl gnu_parallel netpbm ImageMagick;
ON|ID=arch|c++ cmake=3.25.1 make FreeImage.h||g++ cmake make libfreeimage-dev|1||$missing git;  install with: sudo pacman -S git;
|ID=manjaro;ID_LIKE=arch|cmake=3.9.6 make git||g++ cmake make libfreeimage-dev|1||$missing a C++17 compiler (c++, or \$CXX), cmake 3.21 or later;  install with: sudo pacman -S gcc cmake;
|ID=other|cmake=3.25.1 make git FreeImage.h||g++ cmake make libfreeimage-dev|1||$missing a C++17 compiler (c++, or \$CXX);  install with the system's package manager: g++;
|ID=fedora|c++ cmake=3.25.1 make FreeImage.h||g++ cmake make libfreeimage-dev dpkg-dev file|1||setup-deps: make deb builds a Debian package with Debian's packaging tools (dpkg-deb, dpkg-shlibdeps), which this system lacks;
END
echo "setup_deps_test: passed"
