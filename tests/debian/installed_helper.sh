#!/bin/bash
# The installed package for a user whom the system allows no ICMP socket:
# uid and gid 65534, no groups, in a network namespace of the test's own whose
# net.ipv4.ping_group_range is "1 0" (Debian 12's default). Only 127.0.0.1
# inside that namespace is probed. The user's programs hold no capability
# (checked), as a login's don't, so that the kernel alone decides, by the
# helper's mode and privilege, whether they may run it:
#   - the window holds no capability and no setuid bit;
#   - with the helper's cap_net_raw as the postinst set it, probe_selftest and
#     a real run of /usr/bin/sondar, driven under Xvfb with xdotool, get their
#     replies (through the helper: the user may open neither socket);
#   - with the helper 0750 root:root, its capability kept, the user can't run
#     it: probe_selftest --refused passes;
#   - where setcap finds a file system without capabilities, the postinst's
#     fallback, setuid root, probes as well;
#   - with neither, probe_selftest --refused passes and the run ends with the
#     run-error box, as without the helper.
# The helper's mode and capability are put back at the end.
# Usage: installed_helper.sh PROBE_SELFTEST (built with prefix /usr). Needs
# root and the installed package.
set -euo pipefail
selftest=$1
helper=/usr/libexec/sondar/sondar-echo
fail() { echo "installed helper: FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root"
if [ ! -x /usr/bin/sondar ] || [ ! -x "$helper" ]; then fail "the sondar package is not installed"; fi

ns=sondar-helper-$$
mode=$(stat -c %a "$helper")
work=$(mktemp -d)
fake=$(mktemp -d)
# shellcheck source=../../tools/xvfb.sh
. "$(dirname "$0")/../../tools/xvfb.sh"
cleanup() {
    if [ -n "${app:-}" ]; then kill "$app" 2>/dev/null || true; fi
    xvfb_stop
    wait 2>/dev/null || true
    chmod "$mode" "$helper"
    setcap cap_net_raw+ep "$helper" 2>/dev/null || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "$work" "$fake"
}
trap cleanup EXIT
ip netns add "$ns"
ip -n "$ns" link set lo up
ip netns exec "$ns" sysctl -qw net.ipv4.ping_group_range="1 0"

# A folder of the user's own for the copy of the self-test, Qt's runtime
# folder and the report. No no-new-privs and the full bounding set, as an
# ordinary login has: the helper's file capability must take effect.
chown 65534:65534 "$work"
install -m 755 "$selftest" "$work/probe_selftest"
install -d -m 700 -o 65534 -g 65534 "$work/runtime"
# Each program in the chain runs the next in its own place, so that the
# process id of a program started in the background is the program's.
as_nobody=(ip netns exec "$ns" setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all
    env -i HOME="$work" XDG_RUNTIME_DIR="$work/runtime" LANG=C.UTF-8 PATH=/usr/bin:/bin)

held=$("${as_nobody[@]}" grep -E '^Cap(Inh|Prm|Eff|Amb):' /proc/self/status | awk '{ print $2 }' | sort -u)
[ "$held" = 0000000000000000 ] || fail "the user's programs hold capabilities: $held"
if [ -n "$(getcap /usr/bin/sondar)" ] || [ -u /usr/bin/sondar ] || [ -g /usr/bin/sondar ]; then
    fail "the window holds a privilege: $(stat -c %A /usr/bin/sondar) $(getcap /usr/bin/sondar)"
fi

xvfb_start || fail "no X display could be started"
display=$DISPLAY

# Starts the installed program as the user and runs five probes to
# 127.0.0.1: the address in the focused field, Return to "Ping Start",
# Return to press it.
start_run() {
    "${as_nobody[@]}" DISPLAY="$display" QT_QPA_PLATFORM=xcb /usr/bin/sondar >"$work/sondar.log" 2>&1 &
    app=$!
    win=$(find_window '^Sondar$' 10) || { cat "$work/sondar.log"; fail "the window did not appear"; }
    timeout 10 xdotool windowfocus --sync "$win"
    xdotool type --delay 20 "127.0.0.1"
    xdotool key Return Return
}
stop_program() {
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
    app=""
}

echo "--- with cap_net_raw on the helper: $(getcap "$helper")"
"${as_nobody[@]}" "$work/probe_selftest" || fail "probe_selftest as uid 65534 through the helper"

start_run
# "SaveData" is enabled once the run is over; its dialog saves the report.
dialog=""
deadline=$((SECONDS + 30))
while [ "$SECONDS" -le "$deadline" ]; do
    xdotool mousemove --window "$win" 475 56 click 1
    if find_window 'エラーメッセージ' 0 >/dev/null; then
        cat "$work/sondar.log"
        fail "the run ended with the run-error box"
    fi
    dialog=$(find_window '保存ファイル選択' 0) && break
done
[ -n "$dialog" ] || { cat "$work/sondar.log"; fail "the run did not end with SaveData enabled"; }
timeout 10 xdotool windowfocus --sync "$dialog"
xdotool key ctrl+a
xdotool type --delay 10 "$work/report.txt"
xdotool key Return
find_window '保存メッセージ' 10 >/dev/null || fail "no completion box after saving"
xdotool key Return
stop_program
replies=$(grep -c '^Test No:[1-5]  Reply from 127\.0\.0\.1 : Bytes = 32 Time ' "$work/report.txt" || true)
if [ "$replies" -ne 5 ] || ! grep -q 'Packets: Sent = 5, Received = 5, Lost = 0' "$work/report.txt"; then
    cat "$work/report.txt"
    fail "the report of the run does not list five replies"
fi
echo "PASS: the installed program's run as uid 65534 got 5 replies from 127.0.0.1 through the helper"

# The kernel, not the starting program, decides: a helper the user may not
# execute does not run, its capability notwithstanding.
chmod 0750 "$helper"
"${as_nobody[@]}" "$work/probe_selftest" --refused || fail "a 0750 helper ran for uid 65534"
chmod "$mode" "$helper"
echo "PASS: the helper, 0750 root:root with cap_net_raw, does not run for uid 65534"

# Where setcap finds a file system that keeps no capabilities, the postinst
# makes the helper setuid root instead; it gives root up for good once its
# socket is open. The stand-in for setcap fails as the real one does there.
setcap -r "$helper"
printf '#!/bin/sh\necho "Failed to set capabilities on file '"'"'$2'"'"': Operation not supported" >&2\nexit 1\n' \
    >"$fake/setcap"
chmod 755 "$fake/setcap"
PATH="$fake:$PATH" sh /var/lib/dpkg/info/sondar.postinst configure
[ "$(stat -c %a "$helper")" = 4755 ] || fail "the postinst did not fall back to setuid root: $(stat -c %a "$helper")"
echo "--- setuid root, no capability: '$(getcap "$helper")'"
"${as_nobody[@]}" "$work/probe_selftest" || fail "probe_selftest as uid 65534 through the setuid helper"
chmod u-s "$helper"

echo "--- without the capability: '$(getcap "$helper")'"
"${as_nobody[@]}" "$work/probe_selftest" --refused || fail "probe_selftest --refused without the capability"
start_run
if ! find_window 'エラーメッセージ' 10 >/dev/null; then
    cat "$work/sondar.log"
    for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do echo "window $w: $(xdotool getwindowname "$w")"; done
    fail "no run-error box without the capability"
fi
stop_program
echo "PASS: without the helper's capability the run ends with the run-error box"
