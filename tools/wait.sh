# shellcheck shell=bash
# Waiting for a state rather than for a time: source this file, then
# `wait_for SECONDS COMMAND...`, as in `wait_for 10 ended "$pid"`.

# Runs COMMAND every 50 ms until it succeeds; returns 1 where SECONDS pass
# first.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# True once the process $1 is gone.
ended() {
    ! kill -0 "$1" 2>/dev/null
}
