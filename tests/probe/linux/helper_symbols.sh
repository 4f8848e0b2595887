#!/bin/sh
# The privileged echo helper holds only its own path: the request on its raw
# socket, the packets, the clocks, its command line and report. Fails where
# the binary imports a function that starts, waits for or signals other
# processes (the timer of its own deadline signals only itself), opens pipes,
# loads code or reads the environment or files by name, or holds any of its
# caller's code (the datagram socket, the choice of path, the helper's caller
# and its reading of the report). It imports syscall, for capget and capset,
# which the C library declares in no header; which calls it makes through it
# no list of imports can show.
# Usage: helper_symbols.sh PATH_TO_SONDAR_ECHO
set -eu
helper=${1:?usage: helper_symbols.sh PATH_TO_SONDAR_ECHO}
imported=$(nm -D --undefined-only "$helper" | awk '{ sub(/@.*/, "", $2); print $2 }')
# A stripped binary (the installed one) has no symbol table, and its dynamic
# one lists none of its own functions: there only the imports can be checked.
defined=$(nm -C --defined-only "$helper" 2>/dev/null || true)
bad=$(printf '%s\n' "$imported" | grep -xE 'posix_spawn.*|pipe2?|kill|killpg|sigqueue|tgkill|pidfd_send_signal|waitpid|wait4|fork|vfork|clone3?|exec[lv].*|system|popen|dlopen|getenv|secure_getenv|fopen(64)?|opendir' || true)
own=$(printf '%s\n' "$defined" | grep -E 'echoOnce|echoThroughHelper|parseHelperReport|matchDatagramReply|kDatagramSteps|SendEcho' || true)
if [ -n "$bad$own" ]; then
    echo "helper symbols: FAIL: $helper holds what it does not run:" >&2
    printf '%s\n' "$bad" "$own" | sed '/^$/d; s/^/  /' >&2
    exit 1
fi
if [ -z "$defined" ]; then
    echo "helper symbols: OK ($(printf '%s\n' "$imported" | wc -l) imports, none that starts, waits for or signals other processes, pipes, loads code or reads the environment or files by name; no symbol table, so its own code is not checked)"
else
    echo "helper symbols: OK ($(printf '%s\n' "$imported" | wc -l) imports, none that starts, waits for or signals other processes, pipes, loads code or reads the environment or files by name; none of its caller's code)"
fi
