#!/bin/bash
# The Windows append under wine, where the system presses on it: a full file
# system (a small tmpfs of the script's own), and a Linux program appending to
# the same file at the same moment through a descriptor of its own. Against
# one that locks the file as POSIX programs do, nothing of either may be
# written over: the Linux lines run on without a gap and every report stands
# whole. Against one that takes no lock, what is lost is measured: wine finds
# the end of the file and writes there in two steps. Wine runs in a network
# namespace of the script's own. Needs root (the mount, the
# namespace) and wine; otherwise it says so and exits 77.
# Usage: tests/os/win32/appendfile.sh TST_APPENDFILE_EXE [REPORTS]
set -euo pipefail
exe=$(realpath "$1")
reports=${2:-1000}
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "the mount and the namespace need root"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || skip "no $wine"
command -v perl >/dev/null || skip "no perl"

root=$(cd "$(dirname "$0")/../../.." && pwd)
# shellcheck source=../../../tools/xvfb.sh
. "$root/tools/xvfb.sh"
# shellcheck source=../../../tools/wine.sh
. "$root/tools/wine.sh"
work=$(mktemp -d)
full=$work/full
cleanup() {
    [ -n "${appender:-}" ] && kill "$appender" 2>/dev/null
    mountpoint -q "$full" && umount "$full"
    wine_sandbox_stop
}
trap cleanup EXIT
wine_sandbox_start "$work" append || skip "ip netns did not make a namespace"
winpath() { local path=${1//\//\\}; echo "Z:$path"; }
run() { in_ns timeout 300 "$wine" "$exe" "$@" 2>&1 | grep -v '^wine: ' | tr -d '\r'; return "${PIPESTATUS[0]}"; }
status=0

# A file system with 8 KiB left: a report of 256 KiB fails part of the way.
mkdir "$full"
mount -t tmpfs -o size=256k tmpfs "$full"
printf 'kept\r\n' >"$full/old.txt"
dd if=/dev/zero of="$full/filler" bs=4k 2>/dev/null || true
truncate -s -8k "$full/filler"
run full "$(winpath "$full")" || status=1
[ ! -e "$full/new.txt" ] || { echo "FAIL a failed save left new.txt behind"; status=1; }

# The race: a Linux appender writes numbered lines as fast as it can, from
# before the first report until after the last, each line under a POSIX lock
# of the whole file when $1 is "locked" (which wine's Windows lock takes part
# in), with no lock at all otherwise. Prints: Linux lines, gaps among them,
# whole reports, broken lines.
race() {
    local race=$work/race-$1.txt ready
    coproc APPENDER { exec perl -MFcntl -e '
        $| = 1; $SIG{TERM} = sub { exit 0 };
        my $locked = $ARGV[1] eq "locked";
        open(my $f, ">>", $ARGV[0]) or die "$ARGV[0]: $!";
        # struct flock on amd64: type, whence, start, length (0: to the end), pid.
        my $lock = pack("s s x4 q q i x4", F_WRLCK, SEEK_SET, 0, 0, 0);
        my $unlock = pack("s s x4 q q i x4", F_UNLCK, SEEK_SET, 0, 0, 0);
        my $i = 0;
        # A locking appender lets go of the lock for a moment after each
        # line, as any program does between its writes.
        sub line { return syswrite($f, "linux " . $i++ . "\n") unless $locked;
                   fcntl($f, F_SETLKW, $lock) or die "lock: $!";
                   syswrite($f, "linux " . $i++ . "\n");
                   fcntl($f, F_SETLK, $unlock);
                   select(undef, undef, undef, 0.0001); }
        line(); print "ready\n"; line() while 1;' "$race" "$1"; }
    appender=$APPENDER_PID
    read -r ready <&"${APPENDER[0]}" && [ "$ready" = ready ] || { echo "FAIL the Linux appender did not start" >&2; return 1; }
    run race "$(winpath "$race")" "$reports" >&2 || status=1
    kill "$appender"
    wait "$appender" 2>/dev/null || true
    appender=""
    # Every line is the appender's next one, or a report's next line; a
    # report's 20 lines stand together.
    awk '
        /^linux [0-9]+$/ { if (in_report) { broken++; in_report = 0 }
                           if ($2 != next_linux) gaps++; next_linux = $2 + 1; lines++; next }
        /^win [0-9]+ [0-9]+\r$/ { k = $3 + 0
                           if (k == 1) { if (in_report) broken++; in_report = 1; report = $2 }
                           else if (!in_report || $2 != report || k != last + 1) { broken++; in_report = 0; next }
                           last = k; if (k == 20) { whole++; in_report = 0 }; next }
        { broken++; in_report = 0 }
        END { print lines + 0, gaps + 0, whole + 0, broken + 0 }' "$race"
}

read -r linux gaps whole broken < <(race locked)
echo "race with a locking Linux appender: $linux Linux lines ($gaps gaps), $whole of $reports reports whole, $broken broken lines"
[ "$gaps" -eq 0 ] && [ "$whole" -eq "$reports" ] && [ "$broken" -eq 0 ] \
    || { echo "FAIL the Windows append and a locking Linux appender wrote over each other"; status=1; }
# Wine cannot append in one step: against a Linux program that takes no lock
# what remains is measured, not held to nothing.
read -r linux gaps whole broken < <(race unlocked)
echo "race with a Linux appender that takes no lock: $linux Linux lines, $gaps of them lost, $whole of $reports reports whole, $broken broken lines"
[ "$status" -eq 0 ] && echo "PASS: the Windows append under $("$wine" --version)"
exit "$status"
