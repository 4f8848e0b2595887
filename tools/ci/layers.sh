#!/bin/bash
# The code's shape, checked from its includes:
#   - every include of a project header from one part to another is an arrow
#     that the picture in docs/architecture.md allows (the block between the lines
#     "<!-- arrows -->" and "<!-- /arrows -->": one part a line, then "->",
#     then the parts it may include); the system's own types (the owners of
#     descriptors and handles, the loader of system DLLs) include only the
#     system's headers and each other, and any part may use them;
#   - between two top-level folders those arrows point one way only;
#   - outside the Qt layer (a folder whose path names qt), tests/ and bench/,
#     no source includes a Qt header; outside a folder whose path names win32
#     or windows, none includes a Windows header.
# A part is a folder of the code. tests/, bench/ and tools/ may include
# anything.
# Prints every offending include and fails on any.
set -euo pipefail
cd "$(dirname "$0")/../.."

qt_include='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](Q[A-Za-z0-9]+|Qt[A-Za-z]*/[^">]+|q[a-z0-9_]+\.h)[">]'
windows_include='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](win[a-z0-9_]*|ws2[a-z0-9_]*|commdlg|commctrl|imm|icmpapi|iphlpapi|ipexport|shellapi|shl[a-z]*|ole[a-z0-9]*|objbase|combaseapi|unknwn|wtypes|dwmapi|uxtheme)\.h[">]'
leaves=" os/posix/Descriptor.h os/win32/Handle.h os/win32/SystemLibrary.h "

part() {
    echo "$(dirname "$1")/"
}

# The allowed arrows, from docs/architecture.md: "FROM -> TO TO ...".
declare -A allowed
while read -r from arrow targets; do
    [ "$arrow" = "->" ] || continue
    for to in $targets; do allowed["$from $to"]=1; done
done < <(sed -n '/^<!-- arrows -->$/,/^<!-- \/arrows -->$/p' docs/architecture.md | sed 's/[`|]/ /g')
[ ${#allowed[@]} -gt 0 ] || { echo "layers: FAIL: no arrows between <!-- arrows --> and <!-- /arrows --> in docs/architecture.md" >&2; exit 1; }

# Between two top-level folders the arrows point one way only.
declare -A folders
for pair in "${!allowed[@]}"; do
    read -r from to <<<"$pair"
    [ "${from%%/*}" = "${to%%/*}" ] || folders["${from%%/*}/ ${to%%/*}/"]=1
done
for pair in "${!folders[@]}"; do
    read -r from to <<<"$pair"
    if [ -n "${folders["$to $from"]:-}" ]; then
        echo "layers: FAIL: the arrows in docs/architecture.md let $from and $to include each other" >&2
        exit 1
    fi
done

mapfile -t sources < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
bad=0
arrows=0
for f in "${sources[@]}"; do
    if ! [[ $f =~ (^|/)[^/]*qt[^/]*/ || $f == tests/* || $f == bench/* ]] && grep -EHn "$qt_include" "$f"; then
        bad=1
    fi
    if ! [[ $f =~ (^|/)[^/]*(win32|windows)[^/]*/ ]] && grep -EiHn "$windows_include" "$f"; then
        bad=1
    fi
    [[ $f == tests/* || $f == bench/* || $f == tools/* ]] && continue
    from=$(part "$f")
    while IFS=: read -r line header; do
        if [[ $leaves == *" $f "* && $leaves != *" $header "* ]]; then
            echo "$f:$line: includes $header, but the system's own types include only the system's headers"
            bad=1
            continue
        fi
        [[ $leaves == *" $header "* ]] && continue
        to=$(part "$header")
        [ "$to" = "$from" ] && continue
        arrows=$((arrows + 1))
        if [ -z "${allowed["$from $to"]:-}" ]; then
            echo "$f:$line: includes $header: $from -> $to is no arrow of the picture in docs/architecture.md"
            bad=1
        fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$f" | sed -E 's/^([0-9]+):[^"]*"([^"]+)".*/\1:\2/')
done
if [ "$bad" -ne 0 ]; then
    echo "layers: FAIL: the includes above cross a layer" >&2
    exit 1
fi
echo "layers: OK (${#sources[@]} sources, $arrows includes between parts, each an arrow of the picture in docs/architecture.md;" \
    "Qt only under qt/, tests/ and bench/; Windows only under win32/)"
