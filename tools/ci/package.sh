#!/bin/bash
# Builds the .deb in a fresh Release build of its own (packaging/build-deb.sh),
# checks it with lintian, installs it with apt, checks what got installed, the
# desktop entry and the AppStream metainfo, that the program starts and shows
# its window with its icon, and that a user allowed no ICMP socket probes
# through the echo helper (tests/package/installed_helper.sh); then removes
# the package and anything apt pulled in with it.
# Run as root from anywhere in the checkout.
set -euo pipefail
cd "$(dirname "$0")/../.."
build="build-pkg"

fail() { echo "package: FAIL: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort; }

[ "$(id -u)" -eq 0 ] || fail "needs root: it installs and removes a package"
sh tools/deps.sh dpkg-dev desktop-file-utils appstream lintian libcap2-bin
if dpkg-query -W -f='${Status}' sondar 2>/dev/null | grep -q "install ok installed"; then
    fail "a sondar package is installed already; remove it first, this check removes what it installs"
fi

sh packaging/build-deb.sh "$build"
# The self-test, built alike, looks for the helper where the package puts it.
cmake --build "$build" -j2 --target probe_selftest >/dev/null
debs=("$build"/sondar_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "cpack made no single sondar_*.deb"
fi
deb=${debs[0]}

# What the package asks for: the libraries of the binaries, a Japanese
# gothic face and setcap; one maintainer script, the postinst that gives the
# helper its capability. Nothing is setuid in the archive itself.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ "$depends" == *"fonts-ipafont-gothic | fonts-vlgothic | fonts-noto-cjk"* ]] || fail "no Japanese font dependency"
[[ "$depends" == *qt6-translations-l10n* ]] || fail "no dependency on Qt's translations"
[[ "$depends" == *libqt6widgets6* ]] || fail "no shared-library dependencies worked out from the binary"
[[ "$depends" == *libcap2-bin* ]] || fail "no dependency on setcap's package"
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
[ "$control" = "control md5sums postinst " ] || fail "control archive is not control, md5sums and postinst: $control"
if dpkg-deb --fsys-tarfile "$deb" | tar -tv | awk '$1 ~ /[sS]/' | grep .; then
    fail "setuid or setgid files in the package"
fi
# Hardening flags, copyright, changelog, manual page: lintian finds nothing
# to warn about. Run as root, it says so on its standard error.
lintian --fail-on error,warning "$deb" 2>/dev/null \
    || fail "lintian: $(lintian "$deb" 2>/dev/null | tr '\n' ' ')"
echo "lintian: no errors, no warnings"

before=$(installed)
remove() {
    echo "removing the package again"
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 remove -y -qq sondar >/dev/null || true
    local pulled
    pulled=$(comm -13 <(echo "$before") <(installed) | tr '\n' ' ')
    if [ -n "${pulled// /}" ]; then
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 remove -y -qq $pulled >/dev/null || true
    fi
    [ "$(installed)" = "$before" ] || echo "package: the installed package set differs from before" >&2
}
trap remove EXIT
(cd "$build" && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq "./$(basename "$deb")" >/dev/null)

expected="/usr/bin/sondar
/usr/libexec/sondar/sondar-echo
/usr/share/applications/sondar.desktop
/usr/share/doc/sondar/changelog.Debian.gz
/usr/share/doc/sondar/copyright
/usr/share/icons/hicolor/16x16/apps/sondar.png
/usr/share/icons/hicolor/32x32/apps/sondar.png
/usr/share/icons/hicolor/48x48/apps/sondar.png
/usr/share/icons/hicolor/scalable/apps/sondar.svg
/usr/share/lintian/overrides/sondar
/usr/share/man/man1/sondar.1.gz
/usr/share/metainfo/org.example.sondar.metainfo.xml"
files=$(dpkg -L sondar | while read -r path; do [ -f "$path" ] && echo "$path"; done | sort)
[ "$files" = "$expected" ] || fail "installed files differ: $(diff <(echo "$expected") <(echo "$files") | tr '\n' ' ')"

# Each PNG's width and height, from its header, match its folder.
for size in 16 32 48; do
    read -r w0 w1 w2 w3 h0 h1 h2 h3 < <(od -An -tu1 -j16 -N8 "/usr/share/icons/hicolor/${size}x${size}/apps/sondar.png")
    width=$(((w0 << 24) | (w1 << 16) | (w2 << 8) | w3)) height=$(((h0 << 24) | (h1 << 16) | (h2 << 8) | h3))
    [ "$width $height" = "$size $size" ] || fail "the ${size}x${size} icon is ${width}x${height}"
done
grep -q '<svg' /usr/share/icons/hicolor/scalable/apps/sondar.svg || fail "the scalable icon is no SVG"

# The postinst gave the helper cap_net_raw and nothing else, and no setuid bit.
[ "$(getcap /usr/libexec/sondar/sondar-echo)" = "/usr/libexec/sondar/sondar-echo cap_net_raw=ep" ] \
    || fail "the helper's capabilities: '$(getcap /usr/libexec/sondar/sondar-echo)'"
[ "$(stat -c %a /usr/libexec/sondar/sondar-echo)" = 755 ] || fail "the helper's mode is not 755"
[ -z "$(getcap /usr/bin/sondar)" ] || fail "the window was given capabilities"

# One main category, so that the menu lists it once; the validators say nothing.
validation=$(desktop-file-validate /usr/share/applications/sondar.desktop 2>&1)
[ -z "$validation" ] || fail "desktop-file-validate: $validation"
appstreamcli validate --no-net --pedantic /usr/share/metainfo/org.example.sondar.metainfo.xml >/dev/null \
    || fail "appstreamcli: $(appstreamcli validate --no-net --pedantic /usr/share/metainfo/org.example.sondar.metainfo.xml)"
entry() { sed -n "s/^$1=//p" /usr/share/applications/sondar.desktop; }
if [ "$(entry Name)" != Sondar ] || [ "$(entry Icon)" != sondar ] || [ "$(entry Categories)" != "Network;Monitor;" ] \
    || [ "$(command -v "$(entry Exec)")" != /usr/bin/sondar ]; then
    fail "the desktop entry's Name, Icon, Categories or Exec"
fi

if ldd /usr/bin/sondar | grep 'not found'; then
    fail "libraries of the installed program are missing"
fi

# The installed program shows its window, with an icon, under a virtual X
# server. There is no window manager to close it, so it is ended with SIGTERM.
log=$(mktemp)
. tools/xvfb.sh
trap 'xvfb_stop; rm -f "$log"; remove' EXIT
xvfb_start || fail "no X display could be started"
display=$DISPLAY
LANG=C.UTF-8 QT_QPA_PLATFORM=xcb /usr/bin/sondar >"$log" 2>&1 &
app=$!
win=$(find_window '^Sondar$' 15) || { cat "$log"; fail "the installed program showed no window"; }
icons=$(DISPLAY=$display xprop -id "$win" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | tr '\n' ' ')
[ "$icons" = "Icon (16 x 16) Icon (32 x 32) " ] || fail "the window's icons are not 16 and 32 px: $icons"
kill -TERM "$app"
timeout 5 tail --pid="$app" -f /dev/null || fail "the program did not end on SIGTERM"

manual=$(man -l /usr/share/man/man1/sondar.1.gz 2>/dev/null)
[[ "$manual" == *TROUBLESHOOTING*ping_group_range* ]] || fail "the manual page has no troubleshooting part"
bash tests/package/installed_helper.sh "$build/probe/probe_selftest" || fail "probing through the installed helper"
echo "package: OK ($(basename "$deb"), $(dpkg-deb -f "$deb" Installed-Size) KiB installed)"
