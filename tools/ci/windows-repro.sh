#!/bin/bash
# Builds the Windows artefacts (sondar.exe, the zip, the installer) twice from
# the current commit, in two folders of different names and depths, one
# after the other (so at different times), the second with another umask,
# time zone and locale, and checks that the two give the same bytes. On a
# difference it prints what diffoscope says. SOURCE_DATE_EPOCH is the last
# commit's time.
# Usage: tools/ci/windows-repro.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "windows-repro: FAIL: $*" >&2; exit 1; }
sh tools/deps.sh cmake ninja-build g++-mingw-w64-x86-64 wixl msitools faketime zip diffoscope-minimal >/dev/null 2>&1 \
    || fail "the build's packages are missing"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^project(Sondar VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
artefacts=(sondar.exe "sondar-$version-win64.zip" "sondar-$version-win64.msi")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# build FOLDER: the committed tree, unpacked into FOLDER/src, built in
# FOLDER/src/build-win.
build() {
    mkdir -p "$1/src"
    git archive HEAD | tar -x -C "$1/src"
    (cd "$1/src" && cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null \
        && cmake --build build-win -j2 --target sondar zip msi >"$1/build.log" 2>&1) \
        || { tail -20 "$1/build.log"; fail "the build in $1 failed"; }
}
build "$work/a"
(umask 077 && TZ=Asia/Tokyo LANG=C.UTF-8 LC_ALL=C.UTF-8 build "$work/second/tree/b")

same=0
for f in "${artefacts[@]}"; do
    one=$work/a/src/build-win/$f other=$work/second/tree/b/src/build-win/$f
    if cmp -s "$one" "$other"; then
        echo "windows-repro: $f identical ($(sha256sum "$one" | cut -c1-16)…, $(stat -c %s "$one") bytes)"
    else
        echo "windows-repro: $f differs:"
        diffoscope --text - "$one" "$other" | head -80 || true
        same=1
    fi
done
[ "$same" -eq 0 ] || fail "two builds of one commit differ"
echo "windows-repro: two builds of $(git log -1 --format=%h) give the same ${artefacts[*]}"
