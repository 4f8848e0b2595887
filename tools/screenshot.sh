#!/bin/bash
# Takes the README's screenshot: the window under Xvfb at 96 dpi after a run of
# five probes to loopback. Usage: tools/screenshot.sh BUILD_DIR OUTPUT.png
set -euo pipefail
build=$1 out=$2
display=:$((150 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -dpi 96 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb=$!
trap 'kill $app $xvfb 2>/dev/null || true' EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
QT_QPA_PLATFORM=xcb "$build/sondar" &
app=$!
win=""
until [ -n "$win" ]; do
    sleep 0.1
    win=$(xdotool search --onlyvisible --name '^Sondar$' 2>/dev/null | head -1) || true
done
xdotool windowfocus --sync "$win"
xdotool mousemove --window "$win" 200 46 click 1 && xdotool type --delay 20 "Field site 1"
xdotool mousemove --window "$win" 200 82 click 1 && xdotool type --delay 20 "Rack 3, port 12"
xdotool mousemove --window "$win" 200 118 click 1 && xdotool type --delay 20 "127.0.0.1"
xdotool key Return Return
sleep 6.5
xdotool mousemove 700 500
import -window "$win" "$out"
