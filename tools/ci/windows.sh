#!/bin/bash
# Cross-compiles the Windows program sondar.exe, the echo path's self-test and
# the Win32 layer's test with Debian's mingw-w64, checks their PE headers,
# imports and stack protection (tools/ci/windows-pe.sh), and packs
# sondar-<version>-win64.zip. Where wine
# runs here it then runs probe_selftest.exe, the Win32 layer's own test
# tst_win32form.exe and its run of the forms-runtime contract
# win32runtime_test.exe (on Xvfb, in an English and a Japanese locale), the
# append's test on a full disk and
# against a Linux appender, and the end-to-end test of the window, each in a
# network namespace of its own with only a loopback.
# Where wine can't be installed or can't start the program, or there is no
# root for the namespace, the script says so and checks only the build.
# Run from anywhere in the checkout.
set -euo pipefail
cd "$(dirname "$0")/../.."
build="build-win"

fail() { echo "windows: FAIL: $*" >&2; exit 1; }
install_missing() { sh tools/deps.sh "$@" >/dev/null 2>&1; }

install_missing cmake ninja-build g++-mingw-w64-x86-64 googletest unzip dpkg-dev wixl msitools faketime zip \
    || fail "cmake, ninja-build, g++-mingw-w64-x86-64, googletest, unzip, dpkg-dev, wixl, msitools, faketime or zip is missing"
# What running under wine needs comes before the configure: the toolchain file
# makes wine ctest's emulator only where wine is installed by then.
wine_missing=""
install_missing wine64 iproute2 procps xvfb xdotool xclip x11-utils locales \
    || wine_missing="wine64, iproute2, procps, xvfb, xdotool, xclip, x11-utils or locales is missing"

rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
if [ -z "$wine_missing" ] && ! grep -q '"/usr/lib/wine/wine64"' "$build/tests/window/CTestTestfile.cmake"; then
    fail "wine is installed, yet ctest would not run the Windows tests under it"
fi
# Every target, so that nothing of the Windows build rots unseen; the logic
# tests build as Windows programs whether or not wine runs here.
cmake --build "$build" -j2
# The zip, the installer, and one a version newer for the test of the upgrade.
cmake --build "$build" -j2 --target zip msi msi_newer
msi=$build/sondar-$(sed -n 's/^project(Sondar VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)-win64.msi
exe=$build/probe/probe_selftest.exe
sondar=$build/sondar.exe
formtest=$build/tests/platform/win32/tst_win32form.exe
runtimetest=$build/tests/platform/win32/contract/win32runtime_test.exe
for f in "$exe" "$sondar" "$formtest" "$runtimetest" "$msi"; do [ -f "$f" ] || fail "no $f"; done

# Hardened, and the program importing only Windows' known DLLs, as the
# built files say.
bash tools/ci/windows-pe.sh "$build"
SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-strip -o "$build/sondar-stripped.exe" "$sondar"
echo "sondar.exe: $(stat -c %s "$sondar") bytes, $(stat -c %s "$build/sondar-stripped.exe") stripped"

# The zip: the program (stripped), the readme and the licence.
zip=$(ls "$build"/sondar-*-win64.zip)
listing=$(cmake -E tar tf "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | tr '\n' ' ' | sed 's/ $//')
want="LICENSE.txt README.txt sondar.exe"
[ "$listing" = "$want" ] || fail "$zip holds $listing, not $want (in name order)"
unzip -p "$zip" '*/sondar.exe' | cmp -s - "$build/sondar-stripped.exe" || fail "the zip's sondar.exe is not the stripped program"
# Its texts are Windows text files, every line ended with CR LF.
lf_only=$(unzip -p "$zip" '*.txt' | grep -cv $'\r$' || true)
[ "$lf_only" -eq 0 ] || fail "$lf_only lines of the zip's README.txt and LICENSE.txt end in LF alone, not CR LF"
echo "zip: $zip ($listing, $(stat -c %s "$zip") bytes)"
# The installer: the stripped program and the licence, per machine.
msi_files=$(msiinfo export "$msi" File | tr -d '\r' | awk 'NR > 3 { print $3 }' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$msi_files" = "LICENSE.txt sondar.exe" ] || fail "$msi holds $msi_files"
msiinfo export "$msi" Property | tr -d '\r' | grep -qx 'ALLUSERS	1' || fail "$msi does not install per machine"
msi_files_at=$(mktemp -d)
msiextract -C "$msi_files_at" "$msi" >/dev/null
lf_only=$(grep -cv $'\r$' "$msi_files_at/Sondar/LICENSE.txt" || true)
rm -rf "$msi_files_at"
[ "$lf_only" -eq 0 ] || fail "$lf_only lines of the installer's LICENSE.txt end in LF alone, not CR LF"
echo "msi: $msi ($msi_files, $(stat -c %s "$msi") bytes)"

# Two more builds of this commit, elsewhere and later: the same bytes.
bash tools/ci/windows-repro.sh || fail "the Windows artefacts are not reproducible"

# Where wine can't run, the build alone is checked; in CI, as root, everything
# it needs is installed by the project's own files, so there that is a failure.
compiled_only() {
    if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then
        fail "not run under wine, although CI runs as root: $*"
    fi
    echo "windows: compiled; not run: $*"
    exit 0
}
[ "$(id -u)" -eq 0 ] || compiled_only "a network namespace of its own needs root"
[ -z "$wine_missing" ] || compiled_only "$wine_missing"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || compiled_only "no $wine"

ns=sondar-windows-ci-$$
prefix=$(mktemp -d)
# Wine keeps its server's socket under TMPDIR: inside the prefix, so that
# removing the prefix leaves nothing behind.
mkdir "$prefix/tmp"
export WINEPREFIX=$prefix TMPDIR=$prefix/tmp WINEDEBUG=-all
cleanup() {
    /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "$prefix"
}
trap cleanup EXIT
ip netns add "$ns" || compiled_only "ip netns did not make a namespace"
ip -n "$ns" link set lo up

# Runs the self-test in the namespace; its output is kept in $output.
selftest() {
    output=$(ip netns exec "$ns" timeout 120 "$wine" "$exe" "$@" 2>&1) && status=0 || status=$?
    grep -v '^wine: ' <<<"$output" || true
}
selftest
# No line of the program's own: wine did not start it.
grep -Eq '^(ok|FAIL) +StartSockets' <<<"$output" || compiled_only "wine did not start it (exit $status): $(tail -1 <<<"$output")"
[ "$status" -eq 0 ] || fail "probe_selftest.exe under wine, loopback answering (exit $status)"

ip netns exec "$ns" sysctl -qw net.ipv4.icmp_echo_ignore_all=1
selftest --unanswered
[ "$status" -eq 0 ] || fail "probe_selftest.exe under wine, loopback silent (exit $status)"
ip netns exec "$ns" sysctl -qw net.ipv4.icmp_echo_ignore_all=0

# The Win32 layer's tests on an X server of its own, in both locales. No
# window manager runs there: wine is told to wait for none, as it would for
# 2 s at every window and box that closes.
. tools/xvfb.sh
trap 'xvfb_stop; cleanup' EXIT
xvfb_start || fail "no X display could be started"
display=$DISPLAY
locale -a | grep -qi '^ja_JP\.utf-\?8$' || localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
ip netns exec "$ns" "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 \
    || fail "wine's registry did not take the setting for a display without a window manager"
# Japanese in the boxes and dialogs of the English locale, as on Windows: a
# face of Debian's linked to wine's dialog face, in that locale's code page.
. tools/wine.sh
LANG=C.UTF-8 LC_ALL=C.UTF-8 wine_link_japanese ip netns exec "$ns" "$wine" \
    || fail "wine's registry did not take the link of a Japanese face to its dialog face"
/usr/lib/wine/wineserver64 -w 2>/dev/null || true
for lang in C.UTF-8 ja_JP.UTF-8; do
    for program in "$formtest" "$runtimetest"; do
        /usr/lib/wine/wineserver64 -k 2>/dev/null || true
        DISPLAY=$display LANG=$lang LC_ALL=$lang WINEDLLOVERRIDES="mscoree,mshtml=" \
            ip netns exec "$ns" timeout 300 "$wine" "$program" >"$prefix/window-test.log" 2>&1 && status=0 || status=$?
        # All but the passed checks: the notes, any failure and the tally.
        grep -Ev '^(wine: |ok |\[ +(RUN|OK) +\] )' "$prefix/window-test.log" || true
        [ "$status" -eq 0 ] || fail "$(basename "$program") under wine, $lang (exit $status)"
    done
done
# At 96 dpi the controls sit where the Linux window's do, with the caption
# differences the file states.
/usr/lib/wine/wineserver64 -k 2>/dev/null || true
DISPLAY=$display LANG=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml=" \
    ip netns exec "$ns" timeout 120 "$wine" "$formtest" --geometry 2>/dev/null | tr -d '\r' >"$prefix/geometry.txt"
geometry=tests/platform/win32/geometry-96dpi.txt
awk '/^windows / { sub(/^windows /, ""); own[$1] = $0; next } /^#/ || NF == 0 { next } { order[++n] = $1; line[$1] = $0 }
     END { for (i = 1; i <= n; ++i) print (order[i] in own) ? own[order[i]] : line[order[i]] }' "$geometry" >"$prefix/expected.txt"
diff "$prefix/expected.txt" "$prefix/geometry.txt" || fail "the Windows window's controls are not where $geometry puts them"
echo "geometry: every control where $geometry puts it"
/usr/lib/wine/wineserver64 -k 2>/dev/null || true
xvfb_stop

# The append on a full disk and racing a Linux appender.
bash tests/os/win32/appendfile.sh "$build/tests/os/win32/tst_appendfile.exe" || fail "the append under wine (exit $?)"

# The window end to end, with real keys, clicks and the common dialog.
tests/e2e/windows_window.sh "$sondar" "$build/tests/platform/win32/planted_dll.dll" || fail "the window end to end under wine (exit $?)"

# The window's logic tests as Windows programs: ctest runs them under wine
# (the toolchain's emulator) in the same namespace, with one wine server for
# all. Its background services start with wineboot, away from ctest, which
# would otherwise wait for them to let go of a test's output.
ip netns exec "$ns" /usr/lib/wine/wineserver64 -p 2>/dev/null || true
ip netns exec "$ns" "$wine" wineboot >/dev/null 2>&1 || true
ip netns exec "$ns" ctest --test-dir "$build" -L logic --output-on-failure || fail "the logic tests under wine"

# The installer, silently in and out, with the program started between.
bash tests/platform/win32/msi.sh "$msi" "$build/tests/platform/win32/sondar-newer.msi" || fail "the installer under wine (exit $?)"

echo "windows: compiled, and ran under $("$wine" --version) in a namespace of its own"
