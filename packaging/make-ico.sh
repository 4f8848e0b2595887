#!/bin/sh
# Packs PNG images into one Windows .ico, each image kept as the PNG it is
# (Windows Vista and later read PNG images inside an icon). The images are
# the 16-colour ones the window carries on every platform.
# Usage: make-ico.sh OUTPUT.ico IMAGE.png...   (each square, at most 256 px)
set -eu
out=$1
shift

# $1 as $2 little-endian bytes.
le() {
    v=$1 n=$2
    while [ "$n" -gt 0 ]; do
        printf "\\$(printf '%03o' $((v % 256)))"
        v=$((v / 256)) n=$((n - 1))
    done
}

# The PNG's width, from its header chunk (bytes 16 to 19, big-endian).
png_width() {
    od -An -tu1 -j16 -N4 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 }'
}

tmp=$out.tmp
{
    le 0 2
    le 1 2 # an icon
    le $# 2
    offset=$((6 + 16 * $#))
    for png in "$@"; do
        size=$(png_width "$png")
        bytes=$(wc -c <"$png")
        le $((size % 256)) 1 # 256 is written as 0
        le $((size % 256)) 1
        le 16 1 # colours
        le 0 1
        le 1 2  # planes
        le 4 2  # bits per pixel
        le "$bytes" 4
        le "$offset" 4
        offset=$((offset + bytes))
    done
    cat "$@"
} >"$tmp"
mv "$tmp" "$out"
