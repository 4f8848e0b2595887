#!/bin/bash
# Maximized on Wayland twice: by the maximize button of the title bar that Qt
# draws itself, pressed with the pointer, and by weston itself (its shortcut
# Super+Shift+M), as a compositor that maximizes a window of its own accord
# does. Each time the program must fill exactly the size weston gives it while
# maximized (another size is a protocol error that ends it), return to its
# normal state and its designed size, and run on.
# Weston runs with its X11 backend inside a private Xvfb, only so that xdotool
# can move its pointer and press its keys; the program is given nothing but
# WAYLAND_DISPLAY.
# Usage: wayland_maximize.sh SONDAR_EXECUTABLE
set -euo pipefail
sondar=$1
skip() { echo "SKIP: $*"; exit 77; }
for tool in weston Xvfb xdotool; do command -v $tool >/dev/null || skip "$tool is not installed"; done
compgen -G '/usr/lib/*/libweston-*/x11-backend.so' >/dev/null || skip "weston has no X11 backend"
compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so' >/dev/null || skip "qt6-wayland is not installed"

work=$(mktemp -d)
chmod 700 "$work"
# shellcheck source=../../tools/xvfb.sh
. "$(dirname "$0")/../../tools/xvfb.sh"
cleanup() {
    [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
    [ -n "${compositor:-}" ] && kill "$compositor" 2>/dev/null || true
    xvfb_stop
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
log=$work/protocol.log
fail() { echo "FAIL: $*"; echo "--- the client's protocol, last lines:"; tail -n 15 "$log" || true; exit 1; }
alive() { kill -0 "$app" 2>/dev/null; }
# The client's requests and events after line $1 of the protocol log. grep -q
# reads them from a process substitution: it stops reading at the first match,
# which pipefail would count against a pipe.
since() { tail -n +"$(($1 + 1))" "$log"; }

xvfb_start 1024x768 || skip "no X display could be started"
XDG_RUNTIME_DIR=$work weston --backend=x11-backend.so --use-pixman --width=1024 --height=768 \
    --socket=wayland-sondar --idle-time=0 --no-config >"$work/weston.log" 2>&1 &
compositor=$!
wait_for 10 test -S "$work/wayland-sondar" || { cat "$work/weston.log"; echo "FAIL: weston did not start"; exit 1; }

env -i PATH="$PATH" HOME="$work" LANG=C.UTF-8 XDG_RUNTIME_DIR="$work" WAYLAND_DISPLAY=wayland-sondar \
    WAYLAND_DEBUG=client "$sondar" 2>"$log" &
app=$!
shown() { grep -qE -- '-> wl_surface@[0-9]+\.attach\(wl_buffer@' "$log" || ! alive; }
wait_for 20 shown || fail "the window was not shown within 20 s"
alive || fail "the program ended"

# The window's size with its title bar, as the program tells weston.
read -r width height < <(grep -oE -- '-> xdg_surface@[0-9]+\.set_window_geometry\(0, 0, [0-9]+, [0-9]+' "$log" |
    tail -n 1 | grep -oE '[0-9]+, [0-9]+$' | tr -d ,)

# point X Y: moves the pointer there and prints where it is on the window, as
# the client is told it, once it is told; fails where it is not on the window.
moved() { grep -qE 'wl_pointer@[0-9]+\.(enter|motion|leave)\(' < <(since "$before") || ! alive; }
point() {
    before=$(wc -l <"$log")
    xdotool mousemove "$1" "$2"
    wait_for 5 moved || return 1
    since "$before" | grep -oE 'wl_pointer@[0-9]+\.(enter|motion)\(.*' | tail -n 1 |
        grep -oE '[0-9]+\.[0-9]+, [0-9]+\.[0-9]+\)' | tr -d ',)' | awk '{ printf "%d %d\n", $1, $2 }'
}
# Weston places a new window at random on the screen; the middle of the screen
# lies on it wherever it is put (the window covers more than half the screen).
xdotool mousemove 0 0
read -r x y < <(point 512 384) || fail "the pointer in the middle of the screen is not on the window"
left=$((512 - x)) top=$((384 - y))

# Qt's title bar: 30 pixels high, its buttons 18 pixels wide, 5 apart, the
# last 8 from the right edge: minimize, maximize, close.
button_x=$((width - 8 - 18 - 5 - 9)) button_y=15
[ "$(point $((left + button_x)) $((top + button_y)))" = "$button_x $button_y" ] ||
    fail "the pointer did not reach the maximize button"
pressed=$(wc -l <"$log")
xdotool click 1

# maximized WHAT: once maximized (a configure of a size), the window draws
# itself at exactly that size, asks to return to its normal state and takes
# up its size again.
maximized() {
    local size
    configured() { grep -qE 'xdg_toplevel@[0-9]+\.configure\([1-9]' < <(since "$pressed") || ! alive; }
    wait_for 20 configured || fail "$1 did not maximize the window within 20 s"
    size=$(since "$pressed" | grep -oE 'xdg_toplevel@[0-9]+\.configure\([1-9][0-9]*, [0-9]+' | head -n 1 | cut -d'(' -f2)
    returning() { since "$pressed" | sed -n '/\.unset_maximized()/,$p'; }
    restored() { grep -qF -- ".set_window_geometry(0, 0, $width, $height)" < <(returning) || ! alive; }
    wait_for 20 restored || fail "$1: the window did not return to $width x $height within 20 s"
    ! grep -q 'wl_display@[0-9]*\.error' "$log" || fail "$1: a protocol error"
    alive || fail "$1: the program ended"
    grep -qF -- ".set_window_geometry(0, 0, $size)" < <(since "$pressed" | sed '/\.unset_maximized()/q') ||
        fail "$1: the maximized window did not fill the $size it was given"
}
maximized "the title bar's button"
grep -qF -- '.set_maximized()' < <(since "$pressed") || fail "the button did not ask to maximize the window"

# The click left the keyboard's focus on the window, where weston's shortcut
# acts.
pressed=$(wc -l <"$log")
xdotool key super+shift+m
maximized "weston's Super+Shift+M"
echo "PASS: maximized by its title bar and by weston on Wayland, the window fills the size given and returns to its designed size, and runs on"
