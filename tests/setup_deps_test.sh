#!/bin/sh
# tools/setup-deps against stand-ins for dpkg-query, apt-cache, apt-get and id: it installs what
# is missing, asks for nothing when nothing is, takes what building FreeImage from source needs
# where the release has no FreeImage or that build is asked for, and stops before installing
# anything when this release has no candidate for a package or apt-cache fails.
#
#   sh tests/setup_deps_test.sh SOURCE_DIR
set -eu
src=$1
fail() { echo "setup_deps_test: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
case " $INSTALLED " in *" $3 "*) echo "install ok installed" ;; *) exit 1 ;; esac
EOF
cat >"$work/bin/apt-cache" <<'EOF'
#!/bin/sh
echo "$2:"
case " $NO_CANDIDATE " in *" $2 "*) echo "  Candidate: (none)"; exit 0 ;; *" broken "*) exit 100 ;; esac
echo "  Candidate: 1.0-1"
EOF
printf '#!/bin/sh\necho "$*" >>"$APT_LOG"\n' >"$work/bin/apt-get"
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
chmod +x "$work/bin/"*

# FREEIMAGE_FROM_SOURCE | installed | without a candidate | exit status | what apt-get did |
# what standard error holds (each of the ;-separated patterns; nothing at all if empty)
tools="git ca-certificates libpng-dev zlib1g-dev"
while IFS='|' read -r forced installed none status apt err; do
    : >"$work/apt"
    s=0
    FREEIMAGE_FROM_SOURCE=$forced INSTALLED=$installed NO_CANDIDATE=$none APT_LOG=$work/apt \
        PATH="$work/bin:$PATH" sh "$src/tools/setup-deps" g++ libfreeimage-dev >/dev/null 2>"$work/err" || s=$?
    row="[$forced|$installed|$none]"
    [ "$s" = "$status" ] || fail "$row exit status $s, not $status"
    [ "$(tr '\n' ';' <"$work/apt")" = "$apt" ] || fail "$row apt-get did: $(cat "$work/apt")"
    [ -n "$err" ] || [ ! -s "$work/err" ] || fail "$row said: $(cat "$work/err")"
    echo "$err" | tr ';' '\n' | while read -r pattern; do
        [ -z "$pattern" ] || grep -q -e "$pattern" "$work/err" || fail "$row no '$pattern'"
    done
done <<EOF
|g++ libfreeimage-dev||0||
|g++ libfreeimage-dev|libfreeimage-dev|0||
|g++||0|update -qq;install -y -qq --no-install-recommends libfreeimage-dev;|
||broken|100||
|g++|libfreeimage-dev|0|update -qq;install -y -qq --no-install-recommends $tools;|
|g++ $tools|libfreeimage-dev|0||
ON|g++ libfreeimage-dev||0|update -qq;install -y -qq --no-install-recommends $tools;|
||g++|1|update -qq;|cannot install: g++$
EOF
echo "setup_deps_test: passed"
