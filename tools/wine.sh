# shellcheck shell=bash
# Sourced by the scripts that run Windows programs under wine, with
# tools/xvfb.sh: a wine prefix and a network namespace with only a loopback,
# both the script's own, since wine's probes go out like any program's.

# wine_sandbox_start WORK NAME: the prefix and wine's temporary folder go
# under the folder WORK (wine keeps its server's socket there, so removing
# WORK leaves nothing behind; no Mono or Gecko prompts at first start; no
# menu entries that wine would write for shortcuts into the Linux user's
# home), and a
# namespace sondar-windows-NAME-PID with its loopback up is made. Returns 1 where the
# namespace cannot be made.
wine_sandbox_start() {
    WINE_WORK=$1
    WINE_NS=sondar-windows-$2-$$
    mkdir -p "$WINE_WORK/tmp"
    export WINEPREFIX=$WINE_WORK/prefix TMPDIR=$WINE_WORK/tmp WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    ip netns add "$WINE_NS" || return 1
    ip -n "$WINE_NS" link set lo up
}

# Runs a command inside the namespace.
in_ns() { ip netns exec "$WINE_NS" "$@"; }

# Ends the wine server and the X server, removes the namespace and WORK.
wine_sandbox_stop() {
    if [ -n "${WINE_NS:-}" ]; then
        ip netns exec "$WINE_NS" /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    fi
    xvfb_stop
    wait 2>/dev/null || true
    if [ -n "${WINE_NS:-}" ]; then
        ip netns delete "$WINE_NS" 2>/dev/null || true
    fi
    if [ -n "${WINE_WORK:-}" ]; then
        rm -rf "$WINE_WORK"
    fi
}
