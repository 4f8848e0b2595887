#!/bin/bash
# The installed window under the compositor of one of Debian's desktops,
# headless: GNOME's mutter, KDE Plasma's kwin or sway. Compositor and program
# run as the unprivileged user 65534 (sway refuses root, mutter wants a user's
# session), in a D-Bus session of their own with the accessibility bus, in a
# network namespace of the test's own whose ping range lets that user probe
# 127.0.0.1 through the program's own socket. The program finds the desktop
# by nothing but WAYLAND_DISPLAY and the session's type, and its desktop entry
# and icon where the install put them (XDG_DATA_DIRS), as a desktop session
# finds those of /usr/local. desktop_session.py then drives the window: what
# it shows, what the compositor does to it, a run and a save (the report read
# back by report_lines.sh), and its closing.
# Usage: desktop_session.sh mutter|kwin|sway PREFIX
#   PREFIX: where `cmake --install` put the program: PREFIX/bin/sondar,
#   PREFIX/share/applications, PREFIX/share/icons.
# Exits 77 and says why where the compositor is not installed or can't start.
set -euo pipefail
compositor=$1 prefix=$2
here=$(cd "$(dirname "$0")" && pwd)
# pyatspi and the GObject bindings are Debian's, for Debian's interpreter.
python=/usr/bin/python3
socket=wayland-sondar
skip() { echo "SKIP ($compositor): $*"; exit 77; }
fail() { echo "FAIL ($compositor): $*"; exit 1; }
# shellcheck source=../../tools/wait.sh
. "$here/../../tools/wait.sh"

# The second half runs as the user, inside the D-Bus session the first half
# opens: the compositor, the program and the driver.
if [ "${3:-}" = --in-session ]; then
    work=$4 kwin=${5:-}
    cleanup() {
        [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
        [ -n "${server:-}" ] && kill "$server" 2>/dev/null || true
        wait 2>/dev/null || true
    }
    trap cleanup EXIT
    # Qt looks for the a11y bus on the session bus but does not start it.
    dbus-send --session --print-reply --reply-timeout=10000 --dest=org.a11y.Bus \
        /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null || fail "the a11y bus did not start"
    export XDG_DATA_DIRS=$prefix/share:/usr/share
    case $compositor in
    mutter)
        # GNOME binds no key to full screen; the session's own settings give one.
        gsettings set org.gnome.desktop.wm.keybindings toggle-fullscreen "['<Super>f']"
        mutter --headless --wayland --no-x11 --virtual-monitor 1280x1024 --wayland-display "$socket" \
            >"$work/compositor.log" 2>&1 &
        desktop=GNOME ;;
    kwin)
        "$kwin" --virtual --width 1280 --height 1024 --socket "$socket" --no-lockscreen \
            >"$work/compositor.log" 2>&1 &
        desktop=KDE ;;
    sway)
        # Sway names its socket itself, the first free wayland-N.
        printf 'output HEADLESS-1 resolution 1280x1024\nxwayland disable\n' >"$work/sway.config"
        WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
            sway -c "$work/sway.config" >"$work/compositor.log" 2>&1 &
        socket="wayland-*"
        desktop=sway ;;
    esac
    server=$!
    started() { compgen -G "$XDG_RUNTIME_DIR/$socket" >/dev/null || ended "$server"; }
    wait_for 20 started && ! ended "$server" || { cat "$work/compositor.log"; fail "the compositor did not start"; }
    socket=$(basename "$(compgen -G "$XDG_RUNTIME_DIR/$socket" | grep -v '\.lock$')")

    # libwayland prints every request and event of the client's on its stderr.
    # The program works in the work folder, where its save dialog opens.
    cd "$work"
    WAYLAND_DISPLAY=$socket XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=$desktop LANG=C.UTF-8 \
        QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 WAYLAND_DEBUG=client "$prefix/bin/sondar" 2>"$work/protocol.log" &
    app=$!
    limit=60 report=Sondar-report.txt
    WAYLAND_DISPLAY=$socket timeout $limit "$python" "$here/desktop_session.py" "$compositor" "$work" "$app" "$prefix" \
        $limit $report ||
        { echo "--- the client's protocol, last lines:"; tail -n 15 "$work/protocol.log"; exit 1; }
    status=0
    wait "$app" || status=$?
    app=""
    [ "$status" -eq 0 ] || fail "the program, closed by the compositor, ended with status $status"
    echo "PASS ($compositor): the report of a run in the window was saved, and the program ended when closed"
    exit
fi

[ "$(id -u)" -eq 0 ] || skip "needs root for the network namespace and the user"
case $compositor in
mutter) tools="mutter gsettings" ;;
kwin) tools="kwin_wayland" ;;
sway) tools="sway swaymsg wtype" ;;
*) echo "usage: desktop_session.sh mutter|kwin|sway PREFIX" >&2; exit 2 ;;
esac
for tool in $tools setpriv ip dbus-run-session dbus-send; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x /usr/libexec/at-spi-bus-launcher ] || skip "at-spi2-core is not installed"
"$python" -c 'import pyatspi' 2>/dev/null || skip "python3-pyatspi is not installed"
compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so' >/dev/null || skip "qt6-wayland is not installed"
[ -x "$prefix/bin/sondar" ] || { echo "desktop_session: no program at $prefix/bin/sondar" >&2; exit 2; }

user=65534
work=$(mktemp -d)
namespace=sondar-desktop-$$
cleanup() {
    ip netns delete "$namespace" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/home" "$work/runtime"
chmod 755 "$work"
chmod 700 "$work/runtime"
chown "$user:$user" "$work" "$work/home" "$work/runtime"
as_user() { setpriv --reuid=$user --regid=$user --clear-groups "$@"; }

kwin=""
if [ "$compositor" = kwin ]; then
    kwin=$(command -v kwin_wayland)
    # Debian gives kwin_wayland the file capability cap_sys_resource. Where the
    # capability bounding set lacks it (a container), the kernel refuses to
    # start the program at all; the same binary without the capability runs.
    if ! as_user "$kwin" --version >/dev/null 2>"$work/kwin-exec.log"; then
        echo "kwin: $(cat "$work/kwin-exec.log"): it carries the file capability" \
            "'$(getcap "$kwin" | cut -d' ' -f2)', which is not in this machine's capability bounding set" \
            "($(grep CapBnd /proc/self/status | tr -s '\t ' ' ')); running a copy of it without the capability"
        cp "$kwin" "$work/kwin_wayland"
        kwin=$work/kwin_wayland
        as_user "$kwin" --version >/dev/null 2>&1 || skip "kwin_wayland does not start, not even without its capability"
    fi
fi

# Only 127.0.0.1 is probed, inside a namespace that has nothing but its loopback.
ip netns add "$namespace" || skip "no network namespace could be made"
ip -n "$namespace" link set lo up
ip netns exec "$namespace" sysctl -qw net.ipv4.ping_group_range="$user $user"

# The user may not read the checkout (it may lie in root's home): the session
# runs copies of the scripts it needs, laid out as they are here.
scripts=$work/scripts
mkdir -p "$scripts/tests/e2e" "$scripts/tools"
cp "$here/desktop_session.sh" "$here/desktop_session.py" "$here/report_lines.sh" "$scripts/tests/e2e/"
cp "$here/../../tools/wait.sh" "$scripts/tools/"

status=0
ip netns exec "$namespace" setpriv --reuid=$user --regid=$user --clear-groups \
    env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" \
    dbus-run-session -- "$scripts/tests/e2e/desktop_session.sh" "$compositor" "$prefix" --in-session "$work" "$kwin" \
    2>"$work/session.log" || status=$?
if [ "$status" -ne 0 ]; then
    echo "--- the session's messages, last lines:"
    tail -n 20 "$work/session.log"
    echo "--- the compositor's messages, last lines:"
    tail -n 20 "$work/compositor.log" 2>/dev/null || true
fi
exit "$status"
