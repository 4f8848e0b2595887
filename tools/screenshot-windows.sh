#!/bin/bash
# Takes the README's picture of the Windows window: sondar.exe under wine on
# Xvfb at 96 dpi, after a run of five probes to loopback, in a network
# namespace of its own with only a loopback. Needs root.
# Usage: tools/screenshot-windows.sh SONDAR_EXE OUTPUT.png
set -euo pipefail
exe=$(realpath "$1")
out=$(realpath -m "$2")
cd "$(dirname "$0")/.."
sh tools/deps.sh wine64 imagemagick >/dev/null
wine=/usr/lib/wine/wine64

. "$(dirname "$0")/xvfb.sh"
. "$(dirname "$0")/wine.sh"
trap wine_sandbox_stop EXIT
wine_sandbox_start "$(mktemp -d)" shot
xvfb_start 800x600 || { echo "no X display could be started" >&2; exit 1; }
in_ns timeout 180 "$wine" wineboot -i >/dev/null 2>&1
LANG=C.UTF-8 in_ns "$wine" "$exe" >/dev/null 2>&1 &
win=$(find_window '^Sondar$' 60) || { echo "the window did not appear" >&2; exit 1; }
sleep 1
xdotool mousemove --window "$win" 200 46 click 1 && xdotool type --delay 30 "Field site 1"
xdotool mousemove --window "$win" 200 82 click 1 && xdotool type --delay 30 "Rack 3, port 12"
xdotool mousemove --window "$win" 200 118 click 1 && xdotool type --delay 30 "127.0.0.1"
xdotool key Return
sleep 0.3
xdotool key Return
sleep 7.5
xdotool mousemove 780 580
sleep 0.5
import -window "$win" "$out"
echo "wrote $out"
