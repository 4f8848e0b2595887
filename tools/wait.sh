# shellcheck shell=bash
# Waiting for a state rather than for a time: source this file, then
# `wait_for SECONDS COMMAND...`.

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
