# shellcheck shell=bash
# A private X server for the scripts that show the window: source this file,
# then `xvfb_start` (exports DISPLAY), `find_window NAME SECONDS`, and
# `xvfb_stop` in the caller's exit trap.

# Starts Xvfb at 96 dpi on the first free display from :90 on, with a screen of
# $1 (1024x768 by default), and waits until it answers. Returns 1 where no
# display is free or the server does not come up.
xvfb_start() {
    local size=${1:-1024x768} n
    XVFB_PID=""
    for n in $(seq 90 199); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
    done
    [ -e "/tmp/.X$n-lock" ] && return 1
    # -noreset: the server stays up between the clients that come and go.
    Xvfb ":$n" -screen 0 "${size}x24" -dpi 96 -nolisten tcp -noreset >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 100); do
        xdpyinfo >/dev/null 2>&1 && return 0
        kill -0 "$XVFB_PID" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

xvfb_stop() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
    fi
}

# Prints the id of the visible window named $1 (a regular expression) once
# there is one, within $2 seconds. Windows come and go while it looks, which
# makes a single search fail now and then; it looks again until the time is up.
# With 0 it still looks for the rest of the current second.
find_window() {
    local deadline=$((SECONDS + $2)) id
    while [ "$SECONDS" -le "$deadline" ]; do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1) || true
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}
