# Sourced by the end-to-end tests: the saved report of a finished run of five
# probes of 32 characters to 127.0.0.1, read back line by line.

# check_report FILE SITE POINT: SITE and POINT are the bytes expected on lines
# 2 and 3 (in the file's own code page). Calls the caller's `fail` with the
# line that differs.
check_report() {
    local report=$1 site=$2 point=$3 i
    [ -f "$report" ] || fail "no report file"
    [ "$(grep -c $'\r$' "$report")" -eq 16 ] || fail "not 16 CR LF lines"
    [ "$(tail -c 2 "$report" | od -An -c | tr -d ' ')" = '\r\n' ] || fail "the last line does not end in CR LF"
    local -a lines
    mapfile -t lines < <(sed 's/\r$//' "$report")
    [ "${lines[0]}" = " " ] || fail "line 1"
    [ "${lines[1]}" = "$site" ] || fail "line 2 is not the site"
    [ "${lines[2]}" = "$point" ] || fail "line 3 is not the point"
    [[ "${lines[3]}" =~ ^"Date / Time : "[0-9][^:]*[0-9]":"[0-9][0-9]":"[0-9][0-9] ]] || fail "line 4"
    [ "${lines[4]}" = " " ] || fail "line 5"
    [ "${lines[5]}" = "Pinging 127.0.0.1 with 32 bytes of data:" ] || fail "line 6"
    for i in 1 2 3 4 5; do
        [[ "${lines[5 + i]}" =~ ^"Test No:$i  Reply from 127.0.0.1 : Bytes = 32 Time "("< 10"|"= "[0-9]+)" ms  TTL = 128"$ ]] \
            || fail "probe line $i"
    done
    [ "${lines[11]}" = " " ] || fail "line 12"
    [ "${lines[12]}" = "Ping statistics for 127.0.0.1:" ] || fail "line 13"
    [ "${lines[13]}" = "    Packets: Sent = 5, Received = 5, Lost = 0 (0% loss)," ] || fail "statistics"
    [ "${lines[14]}" = "Approximate round trip times in milli-seconds:" ] || fail "line 15"
    [[ "${lines[15]}" =~ ^"    Minimum = "[0-9]+" ms, Maximum = "[0-9]+" ms, Average = "[0-9.]+" ms"$ ]] || fail "times"
}
