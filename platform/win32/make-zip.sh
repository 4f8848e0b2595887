#!/bin/sh
# Packs the zip, the same bytes for the same files: under one folder named
# after the zip, the entries in name order, each dated SOURCE_DATE_EPOCH (the
# last commit's time, where it is not set; the DOS time of an entry is local
# time, taken in UTC), with fixed permissions and nothing else of the files'.
# Usage: make-zip.sh OUTPUT.zip SOURCE=NAME...
set -eu
out=$(realpath -m "$1")
shift
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || echo 0)}
top=$(basename "$out" .zip)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$top"
for pair in "$@"; do
    cp "${pair%%=*}" "$stage/$top/${pair#*=}"
done
chmod 0755 "$stage/$top"
chmod 0644 "$stage/$top"/*
touch -d "@$epoch" "$stage/$top" "$stage/$top"/*
rm -f "$out"
# -X: no extra fields (they would carry the files' change and access times);
# -D: no entries of their own for folders.
(cd "$stage" && find "$top" -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D -@ "$out")
