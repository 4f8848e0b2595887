#!/bin/bash
# hardening-check on the Linux programs, as the package installs them or as
# the project's own build leaves them for `cmake --install`. Any "no" fails,
# with one exception that is checked another way:
#   - Control-flow protection is marked in an ELF (the IBT and SHSTK
#     properties) only where every object linked into it carries the mark,
#     unless the link forces it (-z ibt -z shstk), which would claim what the
#     unmarked objects lack. Debian 12's C library start files (Scrt1.o,
#     crti.o, crtn.o) carry none, so no program linked there honestly is
#     marked. hardening-check's "no" is taken only while those files lack the
#     mark, and then the debug information must show every compilation unit
#     built with -fcf-protection.
#   - Stack-clash protection reads "unknown" where no function has a frame
#     large enough to need probes; the debug information must show every
#     compilation unit built with -fstack-clash-protection.
# Both flags come from cmake/Hardening.cmake, in the package's build as in
# any other; they are checked on amd64, where the compiler has both.
# Usage: hardening.sh --package SONDAR_DBGSYM_DEB   (with the sondar package installed)
#        hardening.sh --build BUILD_FOLDER         (a build with debug information)
set -euo pipefail
fail() { echo "hardening: FAIL: $*" >&2; exit 1; }
command -v hardening-check >/dev/null || fail "hardening-check is not installed (Debian: devscripts)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case ${1:-} in
--package)
    elfs=$(dpkg -L sondar | while read -r path; do
        if [ -f "$path" ] && [ "$(head -c 4 "$path" | od -An -c | tr -d ' ')" = '177ELF' ]; then echo "$path"; fi
    done)
    # The compilers' command lines, as the debug symbols keep them (dwz may
    # have moved them into a file of their own).
    dpkg-deb -x "$2" "$work"
    debug=$(find "$work" -type f -name '*.debug')
    ;;
--build)
    elfs="$2/sondar $2/probe/sondar-echo"
    debug=$elfs
    ;;
*) fail "usage: hardening.sh --package SONDAR_DBGSYM_DEB | --build BUILD_FOLDER" ;;
esac

unmarked=""
for start in Scrt1.o crti.o crtn.o; do
    file=$(gcc -print-file-name="$start")
    readelf -n "$file" | grep -q 'x86 feature: IBT, SHSTK' || unmarked="$unmarked $start"
done

[ -n "$elfs" ] || fail "no ELF to check"
for elf in $elfs; do
    report=$(hardening-check "$elf" || true)
    echo "$report"
    while read -r line; do
        case $line in
        "Control flow integrity: no"*)
            [ -n "$unmarked" ] || fail "$elf: no control-flow protection, although the C library's start files are marked"
            echo "  (taken: the C library's start files carry no control-flow mark:$unmarked)"
            ;;
        *": no"*) fail "$elf: $line" ;;
        esac
    done < <(echo "$report" | sed -n 's/^ *//; /: no/p')
done

# shellcheck disable=SC2086
producers=$(readelf --decompress -p .debug_str $debug 2>/dev/null \
    | sed -n 's/^ *\[ *[0-9a-f]*\] *\(GNU C.*\)$/\1/p' | sort -u)
[ -n "$producers" ] || fail "no compiler command line in the debug information"
if [ "$(dpkg --print-architecture)" = amd64 ]; then
    while read -r producer; do
        for flag in -fcf-protection -fstack-clash-protection; do
            [[ " $producer " == *" $flag"[=\ ]* ]] || fail "a compilation unit was built without $flag: $producer"
        done
    done <<<"$producers"
fi
echo "hardening: OK; the compiler command lines in the debug information:"
while read -r producer; do echo "  $producer"; done <<<"$producers"
