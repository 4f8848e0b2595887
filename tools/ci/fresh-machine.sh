#!/bin/bash
# Runs CI (.ci/run) on a clean clone of this checkout's HEAD inside a fresh
# Debian 12 tree made with mmdebstrap, in which nothing but apt, git, the
# archive's certificates and mount (which every Debian machine has) is
# installed: a step that needs a package the
# project's own files don't install first fails here, even where this machine
# has it. The tree shares this machine's kernel, so the tests' namespaces,
# sysctls and wine work inside it as they do outside.
# Run as root. Usage: tools/ci/fresh-machine.sh [COMMIT]   (HEAD by default)
# FRESH_KEEP=1 keeps the tree afterwards and prints where it is.
set -euo pipefail
cd "$(dirname "$0")/../.."
commit=${1:-HEAD}
[ "$(id -u)" -eq 0 ] || { echo "fresh-machine: needs root (mmdebstrap, namespaces, mounts)" >&2; exit 1; }
sh tools/deps.sh mmdebstrap git

tree=$(mktemp -d /var/tmp/sondar-fresh.XXXXXX)
mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; --i)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
    if [ "${FRESH_KEEP:-}" = 1 ]; then echo "fresh-machine: the tree stays in $tree"; else rm -rf --one-file-system "$tree"; fi
}
trap cleanup EXIT

# The tree's packages come from where this machine's come from: its own apt
# sources, whichever archive or mirror they name.
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$file" ] && sources+=("$file")
done
[ ${#sources[@]} -gt 0 ] || { echo "fresh-machine: this machine has no apt sources to build the tree from" >&2; exit 1; }
mmdebstrap --quiet --variant=apt --include=git,ca-certificates,mount bookworm "$tree" "${sources[@]}"

git clone --quiet --no-local --no-checkout . "$tree/root/sondar"
git -C "$tree/root/sondar" checkout --quiet --detach "$(git rev-parse "$commit")"

# The tree's root is a mount of its own, as a machine's root is: `ip netns
# exec` makes the mounts under / private to the namespace it enters.
mount --bind "$tree" "$tree"
mounted+=("$tree")
for fs in proc sys dev run; do
    mount --rbind "/$fs" "$tree/$fs"
    mount --make-rslave "$tree/$fs"
    mounted+=("$tree/$fs")
done
mount -t tmpfs -o mode=1777 tmpfs "$tree/tmp"
mounted+=("$tree/tmp")
cp /etc/resolv.conf "$tree/etc/resolv.conf"

echo "fresh-machine: CI on $(git rev-parse --short "$commit") in a fresh Debian 12 tree ($tree)"
start=$(date +%s)
status=0
# The tree becomes the root of a mount namespace of CI's own (pivot_root),
# not a chroot: the kernel refuses a user namespace, which reprotest makes, to
# a process whose root is not its mount namespace's. The machine's own root
# is unmounted from under it before CI starts.
unshare --mount --propagation private bash -euc '
    cd "$1"
    mkdir -p .machine
    pivot_root . .machine
    cd /
    umount -l /.machine
    rmdir /.machine
    exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 CI=true TERM=dumb bash -c "cd /root/sondar && bash .ci/run"
' - "$tree" || status=$?
echo "fresh-machine: .ci/run exited with $status after $(($(date +%s) - start)) s"
exit "$status"
