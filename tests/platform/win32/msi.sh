#!/bin/bash
# The installer under wine, as an administrator deploys it: a silent install
# puts sondar.exe and its licence under Program Files, a Start-menu shortcut
# and an "Installed apps" entry; the installed program starts and shows its
# window; a newer version installed over it replaces it (one entry, the new
# version); a silent uninstall takes everything away again, so that the
# prefix holds the same files and Sondar keys as before the install. Wine
# runs in a network namespace of the script's own, on a private Xvfb.
# Needs root and wine; otherwise it says so and exits 77.
# Usage: tests/platform/win32/msi.sh SONDAR.msi NEWER.msi
set -euo pipefail
msi=$(realpath "$1")
newer=$(realpath "$2")
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "the namespace needs root"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || skip "no $wine"

root=$(cd "$(dirname "$0")/../../.." && pwd)
# shellcheck source=../../../tools/xvfb.sh
. "$root/tools/xvfb.sh"
# shellcheck source=../../../tools/wine.sh
. "$root/tools/wine.sh"
work=$(mktemp -d)
trap wine_sandbox_stop EXIT
wine_sandbox_start "$work" msi || skip "ip netns did not make a namespace"
xvfb_start || skip "no X display could be started"
in_ns timeout 180 "$wine" wineboot -i >/dev/null 2>&1 || skip "wine did not set up its prefix"
fail() { echo "FAIL: $*"; exit 1; }
winpath() { local path=${1//\//\\}; echo "Z:$path"; }
msiexec() { in_ns timeout 300 "$wine" msiexec "$@" >>"$work/msiexec.log" 2>&1 || { echo "msiexec exit $?" >>"$work/msiexec.log"; return 1; }; }
drive=$WINEPREFIX/drive_c
program="$drive/Program Files/Sondar"
# The Start-menu shortcut: per machine it belongs in every user's Start menu,
# where Windows puts it; wine's installer puts an ALLUSERS package's shortcut
# in the user's own Start menu, which is taken too.
shortcuts=("$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Sondar.lnk"
           "$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Sondar.lnk")
shortcut() { local s; for s in "${shortcuts[@]}"; do [ -f "$s" ] && echo "${s#"$drive"/}"; done; }
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# The "Installed apps" entries named Sondar, as "key version" lines.
entries() {
    in_ns "$wine" reg query "$uninstall" /s 2>/dev/null | tr -d '\r' | awk '
        /^HKEY/ { key = $0 } $1 == "DisplayName" && $3 == "Sondar" { named[key] = 1 }
        $1 == "DisplayVersion" { version[key] = $3 }
        END { for (k in named) print k, version[k] }'
}
# What the prefix holds: its files (less wine's own logs and caches) and
# every registry key or value that names Sondar, once the wine server has
# written the registry out as it ends.
state() {
    in_ns /usr/lib/wine/wineserver64 -w
    (cd "$drive" && find . -path ./windows/Installer -prune -o -print | grep -v '/AppData/Local/Temp' | sort)
    { grep -i sondar "$WINEPREFIX"/*.reg || true; } | sed "s/=.*//" | sort
}
state >"$work/before"

msiexec /i "$(winpath "$msi")" /qn || fail "the silent install failed: $(tail -3 "$work/msiexec.log")"
[ -f "$program/sondar.exe" ] && [ -f "$program/LICENSE.txt" ] || fail "no sondar.exe and LICENSE.txt under Program Files"
[ -n "$(shortcut)" ] || fail "no Start-menu shortcut"
installed=$(entries)
[ "$(wc -l <<<"$installed")" -eq 1 ] || fail "not one Installed-apps entry: $installed"
echo "ok   installed silently: $(cd "$program" && echo *), the shortcut $(shortcut), the entry $installed"

# The installed program starts, from the Start menu's target, and shows its
# window; closed, it ends.
LANG=C.UTF-8 in_ns "$wine" 'C:\Program Files\Sondar\sondar.exe' >"$work/sondar.log" 2>&1 &
app=$!
win=$(find_window '^Sondar$' 60) || fail "the installed program showed no window"
timeout 10 xdotool windowfocus --sync "$win" key alt+F4 2>/dev/null || true
wait_for 10 ended "$app" || fail "the installed program did not end when its window was closed"
echo "ok   the installed program showed its window"

msiexec /i "$(winpath "$newer")" /qn /l*v "$(winpath "$work/newer.log")" \
    || { iconv -f UTF-16LE -t UTF-8 "$work/newer.log" 2>/dev/null | grep -iE "return value 3|error|upgrad|FindRelated" | head -20; cat "$work/msiexec.log"; fail "the newer version did not install"; }
upgraded=$(entries)
[ "$(wc -l <<<"$upgraded")" -eq 1 ] && [ "$upgraded" != "$installed" ] \
    || fail "after the newer version: $upgraded (before: $installed)"
[ -f "$program/sondar.exe" ] || fail "the newer version left no sondar.exe"
echo "ok   the newer version replaced it: $upgraded"

msiexec /x "$(winpath "$newer")" /qn || fail "the silent uninstall failed: $(tail -3 "$work/msiexec.log")"
[ -z "$(entries)" ] || fail "an Installed-apps entry is left: $(entries)"
[ -z "$(shortcut)" ] || fail "the shortcut is left: $(shortcut)"
state >"$work/after"
diff "$work/before" "$work/after" || fail "the uninstall left the lines above in the prefix"
echo "PASS: installed, started, upgraded and uninstalled silently; nothing of it left in the prefix"
