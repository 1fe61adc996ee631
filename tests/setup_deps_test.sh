#!/bin/sh
# tools/setup-deps against stand-ins for dpkg-query, apt-cache, apt-get and id: it installs what
# is missing, asks for nothing when nothing is, and stops before installing anything when this
# release has no candidate for a package (with the way out for FreeImage, into a README section
# that must be there) or apt-cache fails.
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

# installed | without a candidate | exit status | what apt-get did | what standard error holds
# (each of the ;-separated patterns, and of FreeImage only if asked; nothing at all if empty)
while IFS='|' read -r installed none status apt err; do
    : >"$work/apt"
    s=0
    INSTALLED=$installed NO_CANDIDATE=$none APT_LOG=$work/apt PATH="$work/bin:$PATH" \
        sh "$src/tools/setup-deps" g++ libfreeimage-dev >/dev/null 2>"$work/err" || s=$?
    row="[$installed|$none]"
    [ "$s" = "$status" ] || fail "$row exit status $s, not $status"
    [ "$(tr '\n' ';' <"$work/apt")" = "$apt" ] || fail "$row apt-get did: $(cat "$work/apt")"
    [ -n "$err" ] || [ ! -s "$work/err" ] || fail "$row said: $(cat "$work/err")"
    case $err in *FreeImage*) ;; *) ! grep -q FreeImage "$work/err" || fail "$row FreeImage?" ;; esac
    echo "$err" | tr ';' '\n' | while read -r pattern; do
        [ -z "$pattern" ] || grep -q -e "$pattern" "$work/err" || fail "$row no '$pattern'"
    done
done <<'EOF'
g++ libfreeimage-dev||0||
g++||0|update -qq;install -y -qq --no-install-recommends libfreeimage-dev;|
|broken|100|update -qq;|
g++|libfreeimage-dev|1|update -qq;|cannot install: libfreeimage-dev$;FreeImage;unstable;FREEIMAGE_ROOT=;"Debian testing"
|g++|1|update -qq;|cannot install: g++$
EOF
grep -q '^## Debian testing$' "$src/README.md" || fail "README.md has no \"Debian testing\" section"
echo "setup_deps_test: passed"
