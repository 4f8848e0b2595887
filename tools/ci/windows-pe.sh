#!/bin/bash
# Checks the built Windows programs from what the files themselves say, not
# from the flags that made them: each program of the build (the shipped one,
# and every one CI runs) carries no time stamp in its PE header, is relocatable with high-entropy ASLR, marks its data
# not executable and is Terminal Server aware, and carries the stack
# protector (functions that check the canary before they return, and the
# canary's random set-up) and the C library's buffer checks (where it copies
# into an object of known size; sondar.exe does). sondar.exe imports nothing
# but Windows' known DLLs, which the loader takes from the system only, the
# list in docs/windows.md, and has no delayed imports. Its version details name the
# product, the file, the description, the copyright and the licence, and give
# the project's version, which is the Debian package's upstream version.
# Usage: tools/ci/windows-pe.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: tools/ci/windows-pe.sh BUILD_DIR}")
cd "$(dirname "$0")/../.."
fail() { echo "windows-pe: FAIL: $*" >&2; exit 1; }
objdump=x86_64-w64-mingw32-objdump

# Windows' known DLLs (HKLM\System\CurrentControlSet\Control\Session
# Manager\KnownDLLs of Windows 10 and 11), upper case.
known=" ADVAPI32.DLL CLBCATQ.DLL COMBASE.DLL COMDLG32.DLL COML2.DLL DIFXAPI.DLL GDI32.DLL GDIPLUS.DLL \
IMAGEHLP.DLL IMM32.DLL KERNEL32.DLL MSCTF.DLL MSVCRT.DLL NORMALIZ.DLL NSI.DLL OLE32.DLL OLEAUT32.DLL PSAPI.DLL \
RPCRT4.DLL SECHOST.DLL SETUPAPI.DLL SHCORE.DLL SHELL32.DLL SHLWAPI.DLL USER32.DLL WLDAP32.DLL WS2_32.DLL "

imports() { sed -n 's/^\s*DLL Name: //p' <<<"$1" | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' '; }

# The stripped copies of sondar.exe that go into the zip and the installer
# have no symbols to find the canary's checks by; they are sondar.exe less
# its debugging information, which is checked itself.
mapfile -t programs < <(find "$build" -name '*.exe' -not -path '*/CMakeFiles/*' -not -name '*-sondar.exe' \
                            -not -name 'sondar-stripped.exe' | sort)
[ "${#programs[@]}" -gt 0 ] || fail "no programs in $build"
for exe in "${programs[@]}"; do
    name=${exe#"$build"/}
    headers=$(TZ=UTC $objdump -p "$exe")
    grep -q '^Time/Date[[:space:]]*Thu Jan  1 00:00:00 1970$' <<<"$headers" || fail "$name has a time stamp in its PE header"
    for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE; do
        grep -qx "[[:space:]]*$flag" <<<"$headers" || fail "$name: no $flag in its DllCharacteristics"
    done

    # The canary: checked on the way out of many functions (a call of
    # __stack_chk_fail where it was overwritten), and set up from the
    # system's random source when the program starts.
    code=$($objdump -d "$exe")
    checks=$(grep -c 'call.*<__stack_chk_fail>' <<<"$code" || true)
    [ "$checks" -ge 1 ] || fail "$name: no function checks the stack canary"
    grep -q 'call.*CryptGenRandom' <<<"$code" || fail "$name: the stack canary is not set up from a random source"
    # The buffer checks: calls that end the program where a copy would
    # overrun an object whose size the compiler knows. A program may have no
    # such copy; the window's code has.
    fortified=$(grep -cE 'call.*<__(mem(cpy|move|set|pcpy)|str(n?cpy|n?cat))_chk>|call.*<__chk_fail>' <<<"$code" || true)
    [ "$fortified" -ge 1 ] || [ "$name" != sondar.exe ] || fail "$name: no buffer checks of _FORTIFY_SOURCE"
    echo "windows-pe: $name: ASLR (high entropy), NX, Terminal Server aware; imports $(imports "$headers" | sed 's/ $//'); $checks functions check the canary, $fortified buffer checks"
done

sondar=$($objdump -p "$build/sondar.exe")
for dll in $(imports "$sondar"); do
    [[ $known == *" $dll "* ]] || fail "sondar.exe imports $dll, which is not among Windows' known DLLs"
done
grep -q '^Entry d 0000000000000000 00000000 Delay Import Directory' <<<"$sondar" || fail "sondar.exe has delayed imports"
want="ADVAPI32.DLL COMDLG32.DLL GDI32.DLL IMM32.DLL KERNEL32.DLL MSVCRT.DLL OLE32.DLL USER32.DLL "
[ "$(imports "$sondar")" = "$want" ] || fail "sondar.exe imports $(imports "$sondar"), not $want"
grep -q 'Subsystem.*(Windows GUI)' <<<"$sondar" || fail "sondar.exe is no GUI program"
# The version details, as the file holds them.
details=$(x86_64-w64-mingw32-windres --input-format=coff -i "$build/sondar.exe" -O rc | sed -n '/VERSIONINFO/,/^END/p')
value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"\$/\1/p" <<<"$details"; }
project=$(sed -n 's/^project(Sondar VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$project" ] || fail "no project(VERSION) in CMakeLists.txt"
if [ -f debian/changelog ]; then
    # The package's version without its epoch and Debian revision.
    package=$(dpkg-parsechangelog -l debian/changelog -S Version | sed 's/^[0-9]*://; s/-[^-]*$//')
    [ "$package" = "$project" ] || fail "debian/changelog's version $package is not the project's $project"
else
    echo "windows-pe: no debian/changelog here: the version is compared with project(VERSION) alone"
fi
for field in FileVersion ProductVersion; do
    [ "$(value $field)" = "$project" ] || fail "sondar.exe's $field is '$(value $field)', not $project"
done
[ "$(sed -n 's/^ *FILEVERSION //p' <<<"$details")" = "${project//./, }, 0" ] \
    || fail "sondar.exe's FILEVERSION numbers are not $project"
for field in ProductName OriginalFilename FileDescription LegalCopyright; do
    [ -n "$(value $field)" ] || fail "sondar.exe's version details have no $field"
done
[ "$(value ProductName)" = Sondar ] && [ "$(value OriginalFilename)" = sondar.exe ] \
    || fail "sondar.exe's version details name '$(value ProductName)', '$(value OriginalFilename)'"
grep -q 'MIT License' <<<"$(value LegalCopyright)" || fail "sondar.exe's copyright names no licence"
echo "windows-pe: sondar.exe $(value ProductVersion): $(value ProductName), $(value FileDescription), $(value LegalCopyright)"
echo "windows-pe: ${#programs[@]} programs checked"
