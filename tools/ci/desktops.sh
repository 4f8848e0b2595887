#!/bin/bash
# The window as installed, under the compositors of Debian 12's desktops,
# headless: GNOME's mutter, KDE Plasma's kwin and sway, each from Debian's own
# packages, which this step installs for itself. The README's build (build/)
# is installed as `cmake --install build` puts it under its prefix, into a
# staging folder (DESTDIR), and tests/e2e/desktop_session.sh runs that program
# under each compositor in turn. A compositor that can't run here is skipped,
# and this says why; any failure fails the step.
# Run as root after the README's test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build
fail() { echo "desktops: FAIL: $*" >&2; exit 1; }
[ -x "$build/sondar" ] || fail "no $build/sondar: run the README's test command first"

# gsettings and dconf give mutter's session a key binding of its own.
sh tools/deps.sh mutter kwin-wayland sway wtype libglib2.0-bin dconf-service dconf-gsettings-backend >/dev/null \
    || fail "a compositor's packages could not be installed"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"
DESTDIR=$stage cmake --install "$build" >/dev/null
prefix=$stage$(cmake -N -LA "$build" | sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p')

skipped=""
for compositor in mutter kwin sway; do
    started=$SECONDS
    status=0
    bash tests/e2e/desktop_session.sh "$compositor" "$prefix" || status=$?
    case $status in
    0) echo "desktops: $compositor passed in $((SECONDS - started)) s" ;;
    77) skipped="$skipped $compositor" ;;
    *) fail "$compositor" ;;
    esac
done
[ -z "$skipped" ] || echo "desktops: skipped, as said above:$skipped"
echo "desktops: OK"
