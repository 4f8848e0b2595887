# shellcheck shell=bash
# A private X server for the scripts that show the window: source this file,
# then `xvfb_start` (exports DISPLAY), `find_window NAME SECONDS`,
# `no_window NAME`, `wait_for` and `ended` (tools/wait.sh), and `xvfb_stop` in
# the caller's exit trap.
# shellcheck source=wait.sh
. "$(dirname "${BASH_SOURCE[0]}")/wait.sh"

# Starts Xvfb at 96 dpi on the first free display, with a screen of
# $1 (1024x768 by default), and waits until it answers. The server picks the
# display itself and writes its number back (-displayfd), so that scripts
# started at the same moment never take the same one. Returns 1 where no
# display is free or the server does not come up.
xvfb_start() {
    local size=${1:-1024x768} number n=""
    XVFB_PID=""
    number=$(mktemp) || return 1
    # -noreset: the server stays up between the clients that come and go.
    Xvfb -displayfd 3 -screen 0 "${size}x24" -dpi 96 -nolisten tcp -noreset 3>"$number" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -n "$n" ] || n=$(head -n 1 "$number")
        if [ -n "$n" ] && DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
            rm -f "$number"
            export DISPLAY=":$n"
            return 0
        fi
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.05
    done
    rm -f "$number"
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

# True while no visible window is named $1: `wait_for 10 no_window NAME`
# waits until one is gone.
no_window() {
    ! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1
}
