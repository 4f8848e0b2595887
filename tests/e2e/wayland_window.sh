#!/bin/bash
# The window on a Wayland desktop without X: Debian's weston with its headless
# backend on a private runtime folder, and nothing but WAYLAND_DISPLAY to find
# it (no DISPLAY, no QT_QPA_PLATFORM, no session type). The program starts,
# shows its window under its title and application id and at its designed
# 528 x 381 pixels inside the title bar and border that Qt draws where the
# compositor draws none (534 x 414 in all); it runs on until it is ended,
# without a protocol error.
# Weston's kiosk shell shows every window full screen: the window asks once to
# return to its normal state, then lets the compositor have its way rather
# than ask again and again, and fills the screen it is given there, without a
# title bar.
# Usage: wayland_window.sh SONDAR_EXECUTABLE
set -euo pipefail
sondar=$1
skip() { echo "SKIP: $*"; exit 77; }
command -v weston >/dev/null || skip "weston is not installed"
compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so' >/dev/null || skip "qt6-wayland is not installed"

work=$(mktemp -d)
chmod 700 "$work"
cleanup() {
    stop
    rm -rf "$work"
}
stop() {
    [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
    [ -n "${compositor:-}" ] && kill "$compositor" 2>/dev/null || true
    wait 2>/dev/null || true
    app="" compositor=""
    rm -f "$work"/wayland-sondar*
}
trap cleanup EXIT
fail() { echo "FAIL (${shell:-}): $*"; echo "--- the client's protocol, last lines:"; tail -n 15 "$work/protocol.log" || true; exit 1; }
# shellcheck source=../../tools/wait.sh
. "$(dirname "$0")/../../tools/wait.sh"

log=$work/protocol.log
for shell in desktop-shell.so kiosk-shell.so; do
    XDG_RUNTIME_DIR=$work weston --backend=headless-backend.so --shell=$shell --socket=wayland-sondar --idle-time=0 \
        >"$work/weston.log" 2>&1 &
    compositor=$!
    wait_for 10 test -S "$work/wayland-sondar" || { cat "$work/weston.log"; fail "weston did not start"; }

    # libwayland prints every request and event of the client's on its stderr.
    env -i PATH="$PATH" HOME="$work" LANG=C.UTF-8 XDG_RUNTIME_DIR="$work" WAYLAND_DISPLAY=wayland-sondar \
        WAYLAND_DEBUG=client "$sondar" 2>"$log" &
    app=$!
    shown() { grep -qE -- '-> wl_surface@[0-9]+\.attach\(wl_buffer@' "$log" || ! kill -0 "$app" 2>/dev/null; }
    wait_for 20 shown || fail "the window was not shown within 20 s"
    if [ "$shell" = kiosk-shell.so ]; then
        # The compositor's second configure acknowledged, a window that asks
        # again asks at once. The bound: weston serves one round trip of
        # another client (weston-info) after that; a window that asks again
        # and again has asked dozens of times by then.
        acked() { [ "$(grep -c -- '-> xdg_surface@[0-9]*\.ack_configure(' "$log")" -ge 2 ] || ! kill -0 "$app" 2>/dev/null; }
        wait_for 20 acked || fail "the window did not answer the compositor's second configure within 20 s"
        XDG_RUNTIME_DIR=$work WAYLAND_DISPLAY=wayland-sondar weston-info >/dev/null 2>&1 || fail "weston-info found no compositor"
        asked=$(grep -c -- '-> xdg_toplevel@[0-9]*\.unset_fullscreen()' "$log" || true)
        [ "$asked" -eq 1 ] || fail "the window asked $asked times to leave full screen"
    fi
    kill -0 "$app" 2>/dev/null || fail "the program ended"
    for request in 'set_title("Sondar")' 'set_app_id("sondar")'; do
        grep -qF -- ".$request" "$log" || fail "the window's toplevel was not given $request"
    done
    # Under the desktop shell the designed size inside Qt's title bar and
    # border, under the kiosk shell the screen's size the compositor gives.
    size="534, 414"
    [ "$shell" = desktop-shell.so ] ||
        size=$(grep -oE 'xdg_toplevel@[0-9]+\.configure\([1-9][0-9]*, [0-9]+' "$log" | tail -n 1 | cut -d'(' -f2)
    geometry=$(grep -oE -- '-> xdg_surface@[0-9]+\.set_window_geometry\(.*\)' "$log" | tail -n 1 | cut -d'(' -f2)
    [ "$geometry" = "0, 0, $size)" ] || fail "the window's geometry is ($geometry, not (0, 0, $size)"
    ! grep -q 'wl_display@[0-9]*\.error' "$log" || fail "a protocol error"
    stop
done
echo "PASS: on Wayland alone the window shows, titled Sondar, at its designed 528 x 381, and under the kiosk shell it leaves the compositor its full screen"
