#!/bin/bash
# The package's postinst and prerm, run on a copy of the echo helper under a
# root of the test's own (DPKG_ROOT), as dpkg runs them.
#   stand-ins: setcap, getcap, chown, chmod, stat and dpkg-statoverride are
#     stand-ins that play each way setcap fails, a read-only file system and
#     a registered override; runs unprivileged.
#   real: the real setcap on a file system without capabilities (ramfs, in a
#     mount namespace of the test's own), on a read-only one and without
#     CAP_SETFCAP, as in a container, and the real chown and stat with an
#     owner other than root; needs root and skips (77) without it.
# Usage: maintainer_scripts.sh DEBIAN_FOLDER stand-ins|real
set -euo pipefail
debian=$(realpath "$1")
helper=/usr/libexec/sondar/sondar-echo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A fresh root holding the helper with mode $1.
new_root() {
    root=$work/root
    rm -rf "$root"
    mkdir -p "$root${helper%/*}" "$root/var/lib/dpkg"
    : >"$root/var/lib/dpkg/statoverride"
    printf '#!/bin/sh\n' >"$root$helper"
    chmod "$1" "$root$helper"
}

# Runs maintainer script $1 with argument $2, its standard error in $work/err.
run_script() {
    DPKG_ROOT=$root DPKG_MAINTSCRIPT_NAME=$1 sh "$debian/sondar.$1" "$2" 2>"$work/err" \
        || fail "$1 $2 exited with $?: $(cat "$work/err")"
}

# The stand-ins keep the helper's capabilities in $STATE/caps and its owner in
# $STATE/owner (root's until chown is run, as dpkg unpacks it); setcap fails
# as $PLAY says, and on a read-only file system chown and chmod fail too, in
# the real commands' words.
stand_ins() {
    mkdir -p "$work/bin"
    cat >"$work/bin/setcap" <<'EOF'
#!/bin/sh
case "$1:$PLAY" in
-r:*) rm "$STATE/caps" ;;
*:ok) echo "$1" | sed 's/+/=/' >"$STATE/caps" ;;
*:unsupported) echo "Failed to set capabilities on file '$2': Operation not supported" >&2; exit 1 ;;
*:read-only) echo "Failed to set capabilities on file '$2': Read-only file system" >&2; exit 1 ;;
*:no-setfcap) echo "unable to set CAP_SETFCAP effective capability: Operation not permitted" >&2; exit 1 ;;
*:silent) exit 1 ;;
esac
EOF
    cat >"$work/bin/getcap" <<'EOF'
#!/bin/sh
if [ -s "$STATE/caps" ]; then echo "$1 $(cat "$STATE/caps")"; fi
EOF
    # chown as root does it: the capability and the setuid and setgid bits go.
    cat >"$work/bin/chown" <<'EOF'
#!/bin/sh
[ "$PLAY" != read-only ] || { echo "chown: changing ownership of '$2': Read-only file system" >&2; exit 1; }
echo "$1" >"$STATE/owner"
rm -f "$STATE/caps"
/bin/chmod u-s,g-s "$2"
EOF
    cat >"$work/bin/chmod" <<'EOF'
#!/bin/sh
[ "$PLAY" != read-only ] || { echo "chmod: changing permissions of '$2': Read-only file system" >&2; exit 1; }
exec /bin/chmod "$@"
EOF
    # stat -c FORMAT FILE, with the owner chown recorded.
    cat >"$work/bin/stat" <<'EOF'
#!/bin/sh
owner=$(cat "$STATE/owner" 2>/dev/null || echo root:root) user=${owner%%:*}
case $user in *[!0-9]*) uid=$(id -u "$user") ;; *) uid=$user ;; esac
exec /usr/bin/stat -c "$(echo "$2" | sed "s/%u/$uid/g; s/%U:%G/$owner/g")" "$3"
EOF
    cat >"$work/bin/dpkg-statoverride" <<'EOF'
#!/bin/sh
[ "$*" = "--list /usr/libexec/sondar/sondar-echo" ] || { echo "unexpected: dpkg-statoverride $*" >&2; exit 2; }
[ -s "$STATE/override" ] && cat "$STATE/override"
EOF
    chmod 755 "$work/bin/"*
}

# script and argument | override | setcap (and the file system) plays | mode and capabilities before | after, and the owner | on standard error
cases="postinst configure    |                          |ok         |0755|              |0755|cap_net_raw=ep|root:root  |
postinst configure           |                          |ok         |4755|              |0755|cap_net_raw=ep|root:root  |
postinst configure           |                          |unsupported|0755|              |4755|              |root:root  |keeps no capabilities: the helper is made setuid root
postinst configure           |                          |no-setfcap |4755|              |0755|              |root:root  |unable to set CAP_SETFCAP effective capability: Operation not permitted*left without privilege
postinst configure           |                          |read-only  |4755|              |4755|              |           |changing ownership of '*': Read-only file system) and is given no privilege; it is now * 4755
postinst configure           |                          |silent     |4755|              |0755|              |root:root  |setcap failed and said nothing*left without privilege
postinst configure           |                          |missing    |4755|              |0755|              |root:root  |setcap is not installed*left without privilege
postinst configure           |                          |ok         |0750|              |0755|cap_net_raw=ep|root:root  |
postinst configure           |root netdev 0750 $helper  |ok         |0755|              |0750|cap_net_raw=ep|root:netdev|
postinst configure           |root netdev 0750 $helper  |unsupported|0755|              |0750|              |root:netdev|keeps the owner and mode registered with dpkg-statoverride and is now * 0750, capabilities: none
postinst configure           |#0 #117 0750 $helper      |ok         |0755|              |0750|cap_net_raw=ep|0:117      |
postinst configure           |root netdev 0750 $helper  |read-only  |0750|              |0750|              |           |Read-only file system) and is given no privilege
postinst configure           |root netdev 2770 $helper  |ok         |0755|cap_net_raw=ep|0770|              |root:netdev|let the members of its group write it*without setuid or setgid bit, and is now root:netdev 0770, capabilities: none
postinst configure           |root root 00757 $helper   |ok         |0755|              |0757|              |root:root  |given no privilege*let every user write it
postinst configure           |#1000 netdev 4750 $helper |ok         |0755|              |0750|              |1000:netdev|let its owner, uid 1000, write it
postinst abort-deconfigure   |root netdev 4750 $helper  |ok         |0750|              |4750|cap_net_raw=ep|root:netdev|
postinst abort-upgrade       |                          |ok         |0755|              |0755|cap_net_raw=ep|root:root  |
prerm remove                 |                          |ok         |4755|cap_net_raw=ep|0755|              |           |
prerm upgrade                |                          |ok         |2755|cap_net_raw=ep|0755|              |           |
prerm deconfigure            |root netdev 0750 $helper  |ok         |0750|cap_net_raw=ep|0750|              |           |
prerm failed-upgrade         |                          |ok         |4755|cap_net_raw=ep|4755|cap_net_raw=ep|           |"

with_stand_ins() {
    stand_ins
    export STATE=$work/state
    local script arg override play before caps_before after caps_after owner said
    while IFS='|' read -r script override play before caps_before after caps_after owner said; do
        read -r script arg <<<"$script"
        override=$(echo "$override" | xargs) play=$(echo "$play" | xargs) owner=$(echo "$owner" | xargs)
        caps_before=$(echo "$caps_before" | xargs) caps_after=$(echo "$caps_after" | xargs)
        local name="$script $arg (override '${override}', setcap $play, $before)"
        rm -rf "$STATE" && mkdir -p "$STATE"
        new_root "$before"
        [ -z "$caps_before" ] || echo "$caps_before" >"$STATE/caps"
        [ -z "$override" ] || echo "$override" >"$STATE/override"
        local bin=$work/bin
        if [ "$play" = missing ]; then
            bin=$work/no-setcap && mkdir -p "$bin" && cp "$work/bin/"* "$bin" && rm "$bin/setcap"
        fi
        PLAY=$play PATH="$bin:/usr/bin:/bin" run_script "$script" "$arg"
        local mode caps chowned
        mode=$(stat -c %04a "$root$helper")
        caps=$(cat "$STATE/caps" 2>/dev/null || true)
        chowned=$(cat "$STATE/owner" 2>/dev/null || true)
        [ "$mode" = "$after" ] || fail "$name: mode $mode, not $after"
        [ "$chowned" = "$owner" ] || fail "$name: owner '$chowned', not '$owner'"
        [ "$caps" = "$caps_after" ] || fail "$name: capabilities '$caps', not '$caps_after'"
        if [ -z "$said" ]; then
            [ ! -s "$work/err" ] || fail "$name: said $(cat "$work/err")"
        else
            # shellcheck disable=SC2053 # the expected words may hold a pattern
            [[ "$(tr '\n' ' ' <"$work/err")" == *$said* ]] || fail "$name: said '$(cat "$work/err")', not '...$said...'"
        fi
    done <<<"$cases"
}

# The real setcap, where it fails as on a file system without capabilities,
# on a read-only one and as in a container without CAP_SETFCAP; the prerm
# taking away what the real setcap gave, and the real chown what an owner
# other than root may not keep.
with_real_setcap() {
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: the real setcap needs root"; exit 77; }
    new_root 0755
    unshare -m sh -c "mount -t ramfs ramfs '$root${helper%/*}' && cp /bin/true '$root$helper' &&
        DPKG_ROOT='$root' sh '$debian/sondar.postinst' configure 2>'$work/err' && stat -c %04a '$root$helper' >'$work/mode'"
    [ "$(cat "$work/mode")" = 4755 ] || fail "ramfs: mode $(cat "$work/mode"), not 4755: $(cat "$work/err")"
    grep -q 'keeps no capabilities' "$work/err" || fail "ramfs: said '$(cat "$work/err")'"

    new_root 0755
    unshare -m sh -c "mount -t tmpfs tmpfs '$root${helper%/*}' && cp /bin/true '$root$helper' &&
        mount -o remount,ro '$root${helper%/*}' && DPKG_ROOT='$root' sh '$debian/sondar.postinst' configure 2>'$work/err'" \
        || fail "read-only: the postinst failed: $(cat "$work/err")"
    grep -q 'Read-only file system) and is given no privilege' "$work/err" || fail "read-only: said '$(cat "$work/err")'"

    new_root 4755
    capsh --drop=cap_setfcap -- -c "DPKG_ROOT='$root' sh '$debian/sondar.postinst' configure" 2>"$work/err" \
        || fail "without CAP_SETFCAP: the postinst failed: $(cat "$work/err")"
    [ "$(stat -c %04a "$root$helper")" = 0755 ] || fail "without CAP_SETFCAP: mode $(stat -c %04a "$root$helper")"
    [ -z "$(getcap "$root$helper")" ] || fail "without CAP_SETFCAP: $(getcap "$root$helper")"
    grep -q 'left without privilege' "$work/err" || fail "without CAP_SETFCAP: said '$(cat "$work/err")'"

    run_script postinst configure
    [ "$(getcap "$root$helper")" = "$root$helper cap_net_raw=ep" ] || fail "configure: '$(getcap "$root$helper")'"
    run_script prerm upgrade
    [ -z "$(getcap "$root$helper")" ] || fail "prerm upgrade left $(getcap "$root$helper")"

    # Configured again, then with an owner who is not root: the capability goes.
    run_script postinst configure
    echo "nobody nogroup 4750 $helper" >"$root/var/lib/dpkg/statoverride"
    run_script postinst configure
    local now
    now="$(stat -c '%U %04a' "$root$helper"), capabilities: $(getcap "$root$helper")"
    [ "$now" = "nobody 0750, capabilities: " ] || fail "owner nobody: $now: $(cat "$work/err")"
}

case $2 in
stand-ins) with_stand_ins ;;
real) with_real_setcap ;;
*) echo "usage: $0 DEBIAN_FOLDER stand-ins|real" >&2; exit 2 ;;
esac
[ "$failures" -eq 0 ] || exit 1
echo "PASS: maintainer scripts ($2)"
