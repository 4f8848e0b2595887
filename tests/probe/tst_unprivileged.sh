#!/bin/bash
# Real probes to 127.0.0.1 by an ordinary user (uid and gid 65534, no groups,
# no capabilities, no way to gain any) and by root, in a network namespace of
# the test's own whose net.ipv4.ping_group_range each case sets:
#   - a range covering the user's group: the datagram socket carries the probe;
#   - an empty range: nothing is allowed, SendEcho gives -1 with the caller's
#     record untouched, and a ping run ends with its run-error box;
#   - an empty range as root: the raw socket carries the probe.
# Usage: tst_unprivileged.sh PROBE_SELFTEST TST_REFUSEDRUN. Needs root, ip and
# setpriv; skips (77) without them.
set -euo pipefail
selftest=$1 refusedrun=$2
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to make a network namespace and to change user"
for tool in ip setpriv; do command -v $tool >/dev/null || skip "$tool is not installed"; done

ns=sondar-unpriv-$$
work=$(mktemp -d)
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns" || skip "ip netns cannot make a namespace here"
ip -n "$ns" link set lo up

# Copies that the unprivileged user can reach wherever the build lies.
chmod 755 "$work"
install -m 755 "$selftest" "$work/probe_selftest"
install -m 755 "$refusedrun" "$work/tst_refusedrun"
install -d -m 700 -o 65534 -g 65534 "$work/runtime"

nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all --no-new-privs)
failed=0
check() { # ping_group_range, user (nobody or root), what it shows, program and arguments
    local range=$1 user=$2 what=$3 program=$4 run=()
    shift 4
    [ "$user" = nobody ] && run=("${nobody[@]}")
    ip netns exec "$ns" sysctl -qw net.ipv4.ping_group_range="$range"
    echo "--- $what (ping_group_range \"$range\", $user)"
    if ip netns exec "$ns" "${run[@]}" env HOME="$work" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen "$work/$program" "$@"; then
        echo "PASS: $what"
    else
        echo "FAIL: $what"
        failed=1
    fi
}

check "65534 65534" nobody "an ordinary user's probes through the datagram socket" probe_selftest
check "1 0" nobody "no echo socket allowed: -1 at the first probe" probe_selftest --refused
check "1 0" nobody "no echo socket allowed: the run-error box ends the run" tst_refusedrun
check "1 0" root "root's probes through the raw socket" probe_selftest
exit $failed
