#!/bin/bash
# End to end through wine on a real X server, with real keys and clicks:
# type an address, run five probes to loopback with Enter, Enter, fill the two
# header fields, save the report through the real common dialog and check the
# file's bytes line by line. Twice: in an English locale, and in a Japanese
# one (wine's ANSI code page 932) with Japanese site and point texts, whose
# lines must come out in code page 932. Wine runs inside a network namespace
# of the script's own with only a loopback, so no probe can leave it.
# The program runs from a folder where PLANTED_DLL lies beside it under the
# names of the socket and ICMP libraries, which are not among Windows' known
# DLLs; wine is told to prefer a DLL it finds there to its own, as Windows
# would, and no planted copy may be loaded in either session.
# Where there is no root, no wine or no X tools, it says so and exits 77.
# Usage: windows_window.sh SONDAR_EXE PLANTED_DLL
set -euo pipefail
exe=$(realpath "$1")
planted=$(realpath "$2")
planted_names="wsock32 iphlpapi"
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "a network namespace of its own needs root"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || skip "no $wine"
for tool in Xvfb xdotool xclip ip iconv localedef; do command -v $tool >/dev/null || skip "$tool is not installed"; done

work=$(mktemp -d)
# shellcheck source=../../tools/xvfb.sh
. "$(dirname "$0")/../../tools/xvfb.sh"
# shellcheck source=../../tools/wine.sh
. "$(dirname "$0")/../../tools/wine.sh"
# shellcheck source=report_lines.sh
. "$(dirname "$0")/report_lines.sh"
trap wine_sandbox_stop EXIT
wine_sandbox_start "$work" e2e || skip "ip netns did not make a namespace"
mkdir "$work/out" "$work/app"
cp "$exe" "$work/app/sondar.exe"
exe=$work/app/sondar.exe
for name in $planted_names; do cp "$planted" "$work/app/$name.dll"; done
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;${planted_names// /,}=n,b"

# The Japanese locale that makes wine's ANSI code page 932.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 2>/dev/null || skip "the ja_JP.UTF-8 locale could not be made"
fi

xvfb_start || skip "no X display could be started"

in_ns timeout 180 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || skip "wine did not set up its prefix"

fail() { echo "FAIL ($run_name): $*"; [ -f "$report" ] && { echo "--- report:"; cat -A "$report"; }; exit 1; }
clipboard_holds() { [ "$(xclip -o -selection clipboard 2>/dev/null)" = "$1" ]; }

# One session: $1 the locale, $2 and $3 the site and point texts (UTF-8), $4
# the report's code page, $5 the report's file name, typed into the dialog.
session() {
    run_name=$1
    local site=$2 point=$3 win dialog box
    report=$work/out/$5
    # A fresh wine server per locale, which it takes from the environment.
    in_ns /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    LANG=$1 LC_ALL=$1 in_ns "$wine" "$exe" >"$work/sondar-$1.log" 2>&1 &
    app=$!
    win=$(find_window '^Sondar$' 60) || fail "the window did not appear"
    # Input goes where the focus is: each window is waited for until it has it.
    focus() { timeout 10 xdotool windowfocus --sync "$1" 2>/dev/null || fail "a window took no focus"; }
    focus "$win"
    # The wine window is the client area: the table's pixels, the frame 3 px in.
    click() { xdotool mousemove --window "$win" "$1" "$2" click 1; }

    # Texts are pasted: a character that no key carries would reach wine only
    # through a key that xdotool maps for it just before, and only while that
    # mapping lasts, which a busy machine outruns. The clipboard takes any
    # text, and the field's own paste takes it from there, once the clipboard
    # gives it back.
    paste() {
        printf '%s' "$1" | xclip -selection clipboard 2>/dev/null
        wait_for 5 clipboard_holds "$1" || fail "the clipboard did not take the text"
        xdotool key ctrl+a ctrl+v
    }
    click 200 46
    paste "$site"
    click 200 82
    paste "$point"

    # The address, then Enter twice: the first moves the focus to
    # "Ping Start", the second presses it.
    click 200 118
    xdotool type --delay 30 "127.0.0.1"
    xdotool key Return Return

    # "SaveData" opens the dialog once the five probes are done.
    dialog=""
    for _ in $(seq 30); do
        click 471 56
        dialog=$(find_window '保存ファイル選択' 1) && break
    done
    [ -n "$dialog" ] || fail "no save dialog"
    focus "$dialog"
    paste "Z:${report//\//\\}"
    xdotool key Return
    box=$(find_window '保存メッセージ' 15) || fail "no completion box"
    focus "$box"
    xdotool key Return
    wait_for 10 no_window '保存メッセージ' || fail "the completion box stays"
    # Alt+F4 closes it the Windows way (WM_CLOSE), and the program ends.
    timeout 10 xdotool windowfocus --sync "$win" key alt+F4 2>/dev/null || true
    wait_for 10 ended "$app" || fail "sondar.exe did not end when its window was closed"
    wait "$app" 2>/dev/null || true

    check_report "$report" "$(printf '%s' "$site" | iconv -f UTF-8 -t "$4")" \
        "$(printf '%s' "$point" | iconv -f UTF-8 -t "$4")"
    echo "ok   $1: the report of a real run, saved through the common dialog, in $4"
}

# The English session's file name lies outside its ANSI code page, 1252.
session C.UTF-8 "Site A" "Point 3" CP1252 "rep-Ωő日本.txt"
session ja_JP.UTF-8 "東京本社 試験場" "３階 サーバ室" CP932 report-ja.txt
run_name="planted DLLs"
loaded=$(cd "$work/app" && ls -- *.loaded 2>/dev/null) && fail "the program loaded DLLs planted beside it: $loaded"
echo "ok   no DLL planted beside the program ($planted_names) was loaded"
echo "PASS: sondar.exe under $("$wine" --version), in both locales"
