#!/bin/sh
# Builds the Debian package in BUILD_DIR (a fresh Release build): installed
# under /usr, where the program looks for its echo helper, and compiled with
# the hardening flags dpkg-buildflags gives, all of them (bindnow and the
# control-flow protection included). Leaves BUILD_DIR/sondar_*.deb.
# Usage: sh packaging/build-deb.sh BUILD_DIR
set -eu
build=${1:?usage: sh packaging/build-deb.sh BUILD_DIR}
cd "$(dirname "$0")/.."

DEB_BUILD_MAINT_OPTIONS=hardening=+all
export DEB_BUILD_MAINT_OPTIONS
CPPFLAGS=$(dpkg-buildflags --get CPPFLAGS)
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $CPPFLAGS"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CXXFLAGS LDFLAGS

rm -rf "$build"
# Installing doesn't build the tests: the package needs only its own targets.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j2 --target sondar sondar-echo sondar_docs
(cd "$build" && cpack -G DEB >/dev/null)
