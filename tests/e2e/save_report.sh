#!/bin/bash
# End to end through a real X server: type an address, run five probes to
# loopback with Enter, Enter, fill the two header fields, save the report
# through the real save dialog, and read the file back line by line.
# Usage: save_report.sh SONDAR_EXECUTABLE
set -euo pipefail
sondar=$1
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "the real echo service may need root here"
for tool in Xvfb xdotool; do command -v $tool >/dev/null || skip "$tool is not installed"; done

work=$(mktemp -d)
# shellcheck source=../../tools/xvfb.sh
. "$(dirname "$0")/../../tools/xvfb.sh"
cleanup() {
    [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
    xvfb_stop
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
xvfb_start || skip "no X display could be started"

# A home, a temporary folder and a runtime folder of its own, to see that the
# program stores nothing there and leaves nothing behind when it is killed.
mkdir -p "$work/home" "$work/tmp" "$work/runtime"
chmod 700 "$work/runtime"
HOME=$work/home XDG_CONFIG_HOME= TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime LANG=C.UTF-8 QT_QPA_PLATFORM=xcb \
    "$sondar" >"$work/sondar.log" 2>&1 &
app=$!
win=$(find_window '^Sondar$' 10) || { cat "$work/sondar.log"; echo "FAIL: the window did not appear"; exit 1; }
timeout 10 xdotool windowfocus --sync "$win"

# Controls by their place in the window, in pixels (twips / 15, the frame 3 px
# in). The X server queues clicks and keys in order and the window handles them
# in that order, between probes as well: no step needs to wait for the last.
click() { xdotool mousemove --window "$win" "$1" "$2" click 1; }

xdotool type --delay 20 "127.0.0.1"
xdotool key Return Return
# The window takes input between probes: fill the header fields while it runs.
click 200 46 && xdotool type --delay 20 "Site A"
click 200 82 && xdotool type --delay 20 "Point 3"

# "SaveData" opens the dialog once the five probes are done.
dialog=""
for _ in $(seq 30); do
    click 475 56
    dialog=$(find_window '保存ファイル選択' 0) && break
done
[ -n "$dialog" ] || { cat "$work/sondar.log"; echo "FAIL: no save dialog"; exit 1; }
timeout 10 xdotool windowfocus --sync "$dialog"
xdotool key ctrl+a
xdotool type --delay 10 "$work/report.txt"
xdotool key Return
box=$(find_window '保存メッセージ' 10) || { echo "FAIL: no completion box"; exit 1; }
timeout 10 xdotool windowfocus --sync "$box"
xdotool key Return
wait_for 10 no_window '保存メッセージ' || { echo "FAIL: the completion box stays"; exit 1; }

fail() { echo "FAIL: $*"; echo "--- report:"; cat -A "$work/report.txt" || true; exit 1; }
# shellcheck source=report_lines.sh
. "$(dirname "$0")/report_lines.sh"
check_report "$work/report.txt" "Site A" "Point 3"

# "SaveData" is disabled after the save: a click opens no dialog. To know that
# the window has handled that click, a run follows whose empty count ends in
# the run-error box; had the click opened the modal dialog, the window would
# take neither the edit nor "Ping Start".
click 475 56
click 240 158 && xdotool key ctrl+a BackSpace
click 345 120
find_window 'エラーメッセージ' 10 >/dev/null || fail "SaveData still opens the dialog after a save (no run-error box)"
no_window '保存ファイル選択' || fail "SaveData still opens the dialog after a save"
# Nothing of the session is kept, even when the program is killed: no
# settings file of the dialog's or Qt's, in its home or in a temporary folder.
kill -KILL "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
stored=$(find "$work/home" -path "$work/home/.cache" -prune -o -type f -print)
[ -z "$stored" ] || fail "the program stored files in its home: $stored"
left=$(find "$work/tmp" "$work/runtime" -mindepth 1 -print)
[ -z "$left" ] || fail "the killed program left behind: $left"
echo "PASS: the report of a real run was saved through the real dialog"
