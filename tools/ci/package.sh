#!/bin/bash
# The Debian package, built as Debian builds it, from an export of the
# checkout's tracked files (the last commit, with any uncommitted changes to
# them), with SOURCE_DATE_EPOCH at the last commit's time:
#   1. dpkg-buildpackage -us -uc gives the source package (.dsc, .tar.xz), the
#      .deb, its -dbgsym .deb, the .buildinfo and the .changes;
#   2. lintian at the pedantic level on the .changes, the .dsc and the .deb
#      finds no tag at all;
#   3. the .deb's dependencies, maintainer scripts and permissions;
#   4. reproducibility: reprotest builds the binary packages twice more, the
#      second time with reprotest's variations (build path, time, time zone,
#      locale, umask, environment, home, kernel, ...), and the .debs must be
#      identical, else diffoscope's report is printed; the source package,
#      made again in another folder at another time and umask, must be too;
#   5. autopkgtest on this machine (null) installs the .deb and runs
#      debian/tests: the installed files and the window, and probing as a
#      user whom the system allows no ICMP socket;
#   6. hardening-check on every installed ELF finds no "no" (where Debian's C
#      library start files leave no way to mark control-flow protection, the
#      compile flags are checked in the debug symbols instead);
#   then removes the package and whatever was pulled in with it.
# Run as root from anywhere in the checkout, one at a time on a machine (it
# installs and removes the package: flock /tmp/sondar-package.lock ...).
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS

fail() { echo "package: FAIL: $*" >&2; exit 1; }
step() { echo "--- package: $* ($((SECONDS - started)) s)"; }
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort; }

[ "$(id -u)" -eq 0 ] || fail "needs root: it installs and removes a package"
sh tools/deps.sh dpkg-dev devscripts lintian autopkgtest reprotest faketime diffoscope-minimal git locales
# reprotest's varied build runs in this locale, which Debian 12 has only when
# it is generated.
locale -a | grep -qi '^et_EE\.utf-\?8$' || localedef -i et_EE -f UTF-8 et_EE.UTF-8
flock /tmp/sondar-apt.lock env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=300 build-dep -y -qq ./ >/dev/null
if dpkg-query -W -f='${Status}' sondar 2>/dev/null | grep -q "install ok installed"; then
    fail "a sondar package is installed already; remove it first, this check removes what it installs"
fi

work=$(mktemp -d /tmp/sondar-package.XXXXXX)
before=$(installed)
remove() {
    if [ "$(installed)" != "$before" ]; then
        echo "package: removing the package and what it pulled in"
        local pulled
        pulled=$(comm -13 <(echo "$before") <(installed) | tr '\n' ' ')
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 remove -y -qq $pulled >/dev/null || true
        [ "$(installed)" = "$before" ] || echo "package: the installed package set differs from before" >&2
    fi
    rm -rf "$work"
}
trap remove EXIT

# The tracked files as they are now (git stash create records them without
# touching the checkout, and prints nothing where nothing changed), in a
# folder named as dpkg-source names a native source tree.
tree=$(git -c user.name=package -c user.email=package@localhost stash create)
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
upstream=$(sed -n 's/^project(Sondar VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ "$version" = "$upstream" ] || fail "debian/changelog says $version, CMakeLists.txt's project() $upstream"
src=sondar-$version
export_source() {
    mkdir -p "$1"
    git archive --prefix="$src/" "${tree:-HEAD}" | tar -x -C "$1"
}
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH

step "building with dpkg-buildpackage"
export_source "$work/a"
(cd "$work/a/$src" && dpkg-buildpackage -us -uc >"$work/build.log" 2>&1) \
    || { tail -50 "$work/build.log"; fail "dpkg-buildpackage failed"; }
arch=$(dpkg --print-architecture)
deb=$work/a/sondar_${version}_$arch.deb
dsc=$work/a/sondar_$version.dsc
changes=$work/a/sondar_${version}_$arch.changes
for f in "$deb" "$dsc" "$changes"; do [ -f "$f" ] || fail "dpkg-buildpackage made no $(basename "$f")"; done

step "lintian"
# Run as root, lintian says so on its standard error.
if ! lintian --pedantic --display-info --fail-on error,warning,info,pedantic "$changes" "$dsc" "$deb" \
    >"$work/lintian.log" 2>/dev/null; then
    cat "$work/lintian.log"
    fail "lintian found tags"
fi
echo "lintian --pedantic: no tags on $(basename "$changes"), $(basename "$dsc"), $(basename "$deb")"

# What the package asks for: the libraries of the binaries, a Japanese gothic
# face, Qt's translations, the Wayland platform plugin and setcap. The postinst
# and the prerm are its only maintainer scripts; nothing is setuid in the
# archive itself.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for wanted in "fonts-ipafont-gothic | fonts-vlgothic | fonts-noto-cjk" qt6-translations-l10n qt6-wayland \
    libqt6widgets6 libcap2-bin; do
    [[ "$depends" == *"$wanted"* ]] || fail "Depends lacks $wanted"
done
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
[ "$control" = "control md5sums postinst prerm " ] || fail "the control archive holds $control"
if dpkg-deb --fsys-tarfile "$deb" | tar -tv | awk '$1 ~ /[sS]/' | grep .; then
    fail "setuid or setgid files in the package"
fi

step "reprotest: two more builds, the second varied"
export_source "$work/r"
# user_group needs spare users and fileordering a FUSE file system (disorderfs);
# every other variation applies. The first build runs on one CPU, the second
# on more where there are. The tests ran in the first build already: these
# two go without (nocheck), and must still give its bytes.
# reprotest exits 1 where the builds differ, 125 where one could not be made.
status=0
reprotest --store-dir "$work/reprotest" --vary=-user_group,-fileordering \
    -c "DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b" "$work/r/$src" '../*.deb' -- null >"$work/reprotest.log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    grep -v '^INFO' "$work/reprotest.log" | head -300
    [ "$status" -eq 1 ] || fail "reprotest could not make its builds (exit $status, its log above)"
    fail "the two builds' binary packages differ (diffoscope's report above)"
fi
for built in "$work"/reprotest/control/*.deb; do
    echo "reproducible: $(basename "$built") $(sha256sum <"$built" | cut -c1-16)..."
done
cmp -s "$deb" "$work/reprotest/control/$(basename "$deb")" \
    || fail "the first build's $(basename "$deb") differs from reprotest's"
export_source "$work/s/another/folder"
(cd "$work/s/another/folder" && umask 077 && TZ=Pacific/Kiritimati dpkg-source -b "$src" >/dev/null)
for f in "$dsc" "${dsc%.dsc}.tar.xz"; do
    cmp -s "$f" "$work/s/another/folder/$(basename "$f")" \
        || { diffoscope "$f" "$work/s/another/folder/$(basename "$f")" | head -100; fail "$(basename "$f") differs"; }
    echo "reproducible: $(basename "$f")"
done

step "autopkgtest"
autopkgtest "$deb" "$dsc" -- null >"$work/autopkgtest.log" 2>&1 \
    || { cat "$work/autopkgtest.log"; fail "autopkgtest failed"; }
sed -n '/@@@@ summary/,$p' "$work/autopkgtest.log" | grep -E '^installed-' || true
grep -qE '^installed-program +PASS' "$work/autopkgtest.log" || fail "installed-program did not pass"
grep -qE '^installed-helper +PASS' "$work/autopkgtest.log" || fail "installed-helper did not pass"

step "hardening-check"
bash tools/ci/hardening.sh --package "$work/a/sondar-dbgsym_${version}_$arch.deb"

echo "package: OK ($(basename "$deb"), $(dpkg-deb -f "$deb" Installed-Size) KiB installed, $((SECONDS - started)) s)"
