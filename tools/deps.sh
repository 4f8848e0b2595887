#!/bin/sh
# Installs the Debian packages that building, running and testing need, where
# they are missing, and any others named on the command line (the CI steps
# name what only they need). Run as root on Debian 12.
# Usage: sh tools/deps.sh [PACKAGE...]
set -eu

packages="g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev
fonts-ipafont-gothic qt6-translations-l10n iproute2 iputils-ping procps
xvfb xauth xdotool x11-utils at-spi2-core dbus-daemon python3-pyatspi weston qt6-wayland libcap2-bin $*"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
