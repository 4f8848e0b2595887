#!/bin/bash
# What assistive technology sees of the window, through AT-SPI on a private X
# server and a private D-Bus session: the top level is a frame or window (not
# a filler), and each of the 20 controls inside the frame is there under its
# role with a name - the fields named after their captions, the list
# "Ping results" - and nothing in the window is nameless.
# Usage: accessibility.sh SONDAR_EXECUTABLE
set -euo pipefail
sondar=$1
skip() { echo "SKIP: $*"; exit 77; }

# pyatspi is Debian's package, for Debian's interpreter: a python3 found first
# on PATH (a virtualenv, pyenv) does not see it.
python=/usr/bin/python3
# shellcheck source=../../tools/xvfb.sh
. "$(dirname "$0")/../../tools/xvfb.sh"

# The second half runs inside the private D-Bus session that the first half
# opens: the a11y bus, the program and the walk through its tree.
if [ "${2:-}" = --in-session ]; then
    work=$3
    cleanup() {
        [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
        wait 2>/dev/null || true
    }
    trap cleanup EXIT
    # Qt looks for the a11y bus on the session bus but does not start it;
    # asking for its address starts it here before the program comes up.
    dbus-send --session --print-reply --reply-timeout=10000 --dest=org.a11y.Bus \
        /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null || { echo "FAIL: the a11y bus did not start"; exit 1; }

    # Without ALWAYS_ON Qt waits for a screen reader to switch accessibility on.
    LANG=C.UTF-8 QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$sondar" >"$work/sondar.log" 2>&1 &
    app=$!
    find_window '^Sondar$' 10 >/dev/null || { cat "$work/sondar.log"; echo "FAIL: the window did not appear"; exit 1; }

    timeout 40 "$python" - <<'EOF'
import sys
import time

import pyatspi

kDeadline = 20.0  # seconds for the program to show its whole tree on the bus

# The 20 controls inside the frame: (kind, accessible name). A field is named
# after the caption to its left.
kControls = [
    ("button", "SaveData"), ("button", "Ping Start"), ("button", "DataClear"),
    ("label", "試験場所"), ("field", "試験場所"),
    ("label", "試験箇所"), ("field", "試験箇所"),
    ("label", "IP アドレス"), ("field", "IP アドレス"),
    ("label", "Packets"), ("field", "Packets"),
    ("label", "Chars/Pkt"), ("field", "Chars/Pkt"),
    ("label", "Minimum ="), ("field", "Minimum ="),
    ("label", "Maximum ="), ("field", "Maximum ="),
    ("label", "Average ="), ("field", "Average ="),
    ("list", "Ping results"),
]
# AT-SPI role names per kind; Qt releases differ in the name of the text roles.
kRoles = {
    "button": {"push button"},
    "label": {"label", "static"},
    "field": {"text", "entry"},
    "list": {"list", "list box"},
}
kTopLevelRoles = {"frame", "window"}


def children(accessible):
    return [c for c in accessible if c is not None]


def descendants(accessible, depth=0):
    # The controls sit two levels down, inside the frame; the bound keeps a
    # tree that loops back on itself finite.
    if depth > 8:
        return
    for child in children(accessible):
        yield child
        yield from descendants(child, depth + 1)


def problems():
    desktop = pyatspi.Registry.getDesktop(0)
    apps = [a for a in children(desktop) if a.name == "sondar"]
    if len(apps) != 1:
        return [f"{len(apps)} applications named sondar on the bus"]
    windows = [w for w in children(apps[0]) if w.name == "Sondar"]
    if len(windows) != 1:
        return [f"{len(windows)} top levels named Sondar"]
    window = windows[0]
    found = []
    if window.getRoleName() not in kTopLevelRoles:
        found.append(f"the top level's role is {window.getRoleName()!r}, not frame or window")
    seen = [(d.getRoleName(), d.name) for d in descendants(window)]
    for role, name in seen:
        if not name:
            found.append(f"a {role!r} without a name")
    for kind, name in kControls:
        matches = [s for s in seen if s[0] in kRoles[kind] and s[1] == name]
        if len(matches) != 1:
            found.append(f"{len(matches)} {kind}s named {name!r}")
    return found


deadline = time.monotonic() + kDeadline
while True:
    try:
        found = problems()
    except Exception as error:  # objects come and go while the tree is built
        found = [f"AT-SPI: {error}"]
    if not found:
        break
    if time.monotonic() > deadline:
        for problem in found:
            print("FAIL:", problem)
        sys.exit(1)
    time.sleep(0.2)
print("PASS: a frame named Sondar holds the 20 controls, each named;"
      " the list is 'Ping results', the address field 'IP アドレス'")
EOF
    exit
fi

for tool in Xvfb xdotool xdpyinfo dbus-run-session dbus-send; do
    command -v $tool >/dev/null || skip "$tool is not installed"
done
[ -x /usr/libexec/at-spi-bus-launcher ] || skip "at-spi2-core is not installed"
[ -x "$python" ] && "$python" -c 'import pyatspi' 2>/dev/null || skip "python3-pyatspi is not installed"

work=$(mktemp -d)
cleanup() {
    xvfb_stop
    rm -rf "$work"
}
trap cleanup EXIT
xvfb_start || skip "no X display could be started"

# The session's daemons (the a11y bus launcher, the registry) take their
# environment from it: the private display, a private runtime folder for their
# sockets, and no a11y bus of the desktop this may run on.
chmod 700 "$work"
status=0
env -u AT_SPI_BUS_ADDRESS XDG_RUNTIME_DIR="$work" \
    dbus-run-session -- "$0" "$sondar" --in-session "$work" 2>"$work/session.log" || status=$?
if [ "$status" -ne 0 ]; then
    echo "--- the session's messages:"
    cat "$work/session.log"
fi
exit "$status"
