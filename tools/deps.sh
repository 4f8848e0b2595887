#!/bin/sh
# Installs the Debian packages that building, running and testing need, where
# they are missing, and any others named on the command line (the CI steps
# name what only they need). Run as root on Debian 12.
# Usage: sh tools/deps.sh [PACKAGE...]
set -eu

packages="g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev
fonts-ipafont-gothic qt6-translations-l10n iproute2 iputils-ping procps
xvfb xauth xdotool x11-utils at-spi2-core dbus-daemon python3-pyatspi weston qt6-wayland libcap2-bin $*"

# A fresh machine's automatic updates hold apt's locks for minutes after it
# boots: apt-get is tried again while another program holds them, for at most
# this long.
lock_patience=900

# apt-get with these arguments, quiet unless it fails.
apt_get() {
    give_up=$(($(date +%s) + lock_patience))
    while ! said=$(apt-get -o DPkg::Lock::Timeout=60 "$@" 2>&1 >/dev/null); do
        case $said in
        *"Could not get lock"* | *"Unable to acquire the dpkg frontend lock"* | *"Unable to lock directory"*) ;;
        *)
            printf '%s\n' "$said" >&2
            return 1
            ;;
        esac
        if [ "$(date +%s)" -ge "$give_up" ]; then
            printf '%s\n' "$said" >&2
            echo "deps: another program (often the machine's automatic updates) held apt's lock for" \
                "$((lock_patience / 60)) minutes; run this again once it is done" >&2
            return 1
        fi
        echo "deps: waiting for apt's lock, which another program holds" >&2
        sleep 10
    done
}

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt_get update -qq
    # shellcheck disable=SC2086
    apt_get install -y -qq --no-install-recommends $missing
fi
