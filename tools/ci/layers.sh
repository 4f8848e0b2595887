#!/bin/bash
# The window's logic compiles with the standard library alone: outside the Qt
# layer (a folder whose path names qt), tests/ and bench/, no source includes a
# Qt header; outside a folder whose path names win32 or windows, none includes
# a Windows header. Prints the offending includes and fails on any.
set -euo pipefail
cd "$(dirname "$0")/../.."

qt_include='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](Q[A-Za-z0-9]+|Qt[A-Za-z]*/[^">]+|q[a-z0-9_]+\.h)[">]'
windows_include='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](win[a-z0-9_]*|ws2[a-z0-9_]*|commdlg|commctrl|imm|icmpapi|iphlpapi|ipexport|shellapi|shl[a-z]*|ole[a-z0-9]*|objbase|combaseapi|unknwn|wtypes|dwmapi|uxtheme)\.h[">]'

mapfile -t sources < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
bad=0
for f in "${sources[@]}"; do
    if ! [[ $f =~ (^|/)[^/]*qt[^/]*/ || $f == tests/* || $f == bench/* ]] && grep -EHn "$qt_include" "$f"; then
        bad=1
    fi
    if ! [[ $f =~ (^|/)[^/]*(win32|windows)[^/]*/ ]] && grep -EiHn "$windows_include" "$f"; then
        bad=1
    fi
done
if [ "$bad" -ne 0 ]; then
    echo "layers: FAIL: the includes above cross a layer" >&2
    exit 1
fi
echo "layers: OK (${#sources[@]} sources; Qt only under qt/, tests/ and bench/; Windows only under win32/)"
