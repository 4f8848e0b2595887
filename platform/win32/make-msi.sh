#!/bin/sh
# Builds the installer with wixl from sondar.wxs, the same bytes for the same
# inputs: wixl stamps the summary information with the time it runs and a
# random package code, and its cabinet with the files' times, so it runs at
# the time SOURCE_DATE_EPOCH gives (the last commit's, where it is not set)
# on files of that time, and the package code derived from the version is
# written over the random one.
# Usage: make-msi.sh OUTPUT.msi WXS VERSION UPGRADE_CODE PRODUCT_CODE PACKAGE_CODE SONDAR_EXE LICENSE ICON
set -eu
out=$1 wxs=$2 version=$3 upgrade=$4 product=$5 package=$6 exe=$7 licence=$8 icon=$9
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$wxs")" log -1 --format=%ct 2>/dev/null || echo 0)}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/sondar.exe"
cp "$licence" "$stage/LICENSE.txt"
cp "$icon" "$stage/sondar.ico"
# The cabinet inside dates its files by their modification times.
touch -d "@$epoch" "$stage"/*
wxs=$(realpath "$wxs")
(cd "$stage" && TZ=UTC faketime -f "$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')" \
    wixl -a x64 -D Version="$version" -D UpgradeCode="$upgrade" -D ProductCode="$product" -D PackageCode="$package" -o sondar.msi "$wxs")
msibuild "$stage/sondar.msi" -s "Sondar ICMP echo tester" "The Sondar developers" "x64;1033" "{$package}"
mv "$stage/sondar.msi" "$out"
