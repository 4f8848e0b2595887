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

# wine_link_japanese COMMAND...: with COMMAND, which runs wine inside the
# namespace (`in_ns /usr/lib/wine/wine64`), links Debian's IPA Gothic
# (fonts-ipafont-gothic) to Tahoma, regular and bold, for the characters
# Tahoma lacks, as Windows links its own Japanese faces to it. In a locale of
# code page 1252 (C.UTF-8) wine's message boxes and dialogs draw in Tahoma,
# and the faces its prefix links to Tahoma are Windows' own, which Debian
# does not have: without this their Japanese shows as empty boxes. Wine
# writes Tahoma's link anew when it runs in a locale of another code page.
wine_link_japanese() {
    local face
    for face in Tahoma "Tahoma Bold"; do
        "$@" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
            /v "$face" /t REG_MULTI_SZ /d 'ipag.ttf,IPAGothic' /f >/dev/null 2>&1 || return 1
    done
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
