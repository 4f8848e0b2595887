#!/bin/bash
# Takes the screenshots of the README and docs/controls.md: the window under
# Xvfb at 96 dpi after a run of five probes to loopback; with "dark", under
# GNOME's dark palette (Qt's GTK platform theme with Adwaita:dark, Debian's
# qt6-gtk-platformtheme).
# Usage: tools/screenshot.sh BUILD_DIR OUTPUT.png [dark]
set -euo pipefail
build=$1 out=$2
if [ "${3:-}" = dark ]; then
    export QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark
fi
. "$(dirname "$0")/xvfb.sh"
trap 'kill ${app:-} 2>/dev/null || true; xvfb_stop' EXIT
xvfb_start 800x600 || { echo "no X display could be started" >&2; exit 1; }
QT_QPA_PLATFORM=xcb "$build/sondar" &
app=$!
win=$(find_window '^Sondar$' 20) || { echo "the window did not appear" >&2; exit 1; }
timeout 10 xdotool windowfocus --sync "$win"
xdotool mousemove --window "$win" 200 46 click 1 && xdotool type --delay 20 "Field site 1"
xdotool mousemove --window "$win" 200 82 click 1 && xdotool type --delay 20 "Rack 3, port 12"
xdotool mousemove --window "$win" 200 118 click 1 && xdotool type --delay 20 "127.0.0.1"
xdotool key Return Return
# The run of five probes is over once "SaveData" opens its dialog. Cancelled,
# the dialog hands the focus back; Enter in the address field moves it to
# "Ping Start", where the run left it.
dialog=""
for _ in $(seq 30); do
    xdotool mousemove --window "$win" 475 56 click 1
    dialog=$(find_window '保存ファイル選択' 0) && break
done
[ -n "$dialog" ] || { echo "the run did not end" >&2; exit 1; }
timeout 10 xdotool windowfocus --sync "$dialog"
xdotool key Escape
wait_for 10 no_window '保存ファイル選択' || { echo "the dialog stays" >&2; exit 1; }
xdotool mousemove --window "$win" 200 118 click 1 && xdotool key Return
xdotool mousemove 700 500
# The picture once the window has painted all of that: two alike in a row.
last=""
for _ in $(seq 100); do
    import -window "$win" "$out"
    now=$(md5sum <"$out")
    [ "$now" = "$last" ] && break
    last=$now
done
