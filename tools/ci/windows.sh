#!/bin/bash
# Cross-compiles the Windows echo path and its self-test with Debian's
# mingw-w64 and runs probe_selftest.exe under wine where wine runs here.
# The run happens in a network namespace of its own, with only a loopback:
# once with loopback answering echo requests, once with it ignoring them.
# Where wine can't be installed or can't start the program, or there is no
# root for the namespace, the script says so and checks only the build.
# Run from anywhere in the checkout.
set -euo pipefail
cd "$(dirname "$0")/../.."
build="build-win"

fail() { echo "windows: FAIL: $*" >&2; exit 1; }
install_missing() { sh tools/deps.sh "$@" >/dev/null 2>&1; }

install_missing cmake ninja-build g++-mingw-w64-x86-64 || fail "cmake, ninja-build or g++-mingw-w64-x86-64 is missing"

rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build "$build" --target probe_selftest
exe=$build/probe/probe_selftest.exe
[ -f "$exe" ] || fail "no $exe"

# Linked statically: the system's DLLs only, no mingw runtime beside it.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' ')
echo "imports: $dlls"
[ "$dlls" = "IPHLPAPI.DLL KERNEL32.DLL MSVCRT.DLL WSOCK32.DLL " ] || fail "unexpected DLL imports: $dlls"

compiled_only() { echo "windows: compiled; not run: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || compiled_only "a network namespace of its own needs root"
install_missing iproute2 procps || compiled_only "iproute2 or procps is missing"
install_missing wine64 || compiled_only "Debian's wine64 did not install"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || compiled_only "no $wine"

ns=sondar-win-$$
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

# The window's logic tests as Windows programs: ctest runs them under wine
# (the toolchain's emulator) in the same namespace, with one wine server for
# all. Its background services start with wineboot, away from ctest, which
# would otherwise wait for them to let go of a test's output.
install_missing googletest || fail "googletest (GoogleTest's sources) did not install"
cmake "$build" >/dev/null
cmake --build "$build" --target logic_tests
ip netns exec "$ns" /usr/lib/wine/wineserver64 -p 2>/dev/null || true
ip netns exec "$ns" "$wine" wineboot >/dev/null 2>&1 || true
ip netns exec "$ns" ctest --test-dir "$build" -L logic --output-on-failure || fail "the logic tests under wine"

echo "windows: compiled, and ran under $("$wine" --version) in a namespace of its own"
