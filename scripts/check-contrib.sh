#!/usr/bin/env bash
# Reads and ships a real log with contrib/, using Debian's lnav and rsyslog:
#   scripts/check-contrib.sh DEMO_HOST_COMMAND...
# rsyslogd -n runs contrib/rsyslog/logger.conf (into a local file instead of the
# network) while the demo host logs across a rollover: every record arrives
# exactly once, with its level as severity. lnav then loads the same files with
# contrib/lnav/loger_log.json and counts the records by level.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
steps=4000 # 4 workers, about 1.4 MB of lines: one rollover at 1 MiB
work=$(mktemp -d /tmp/logger-contrib-XXXXXX)
rsyslogd_pid=
finish() {
    if [ -n "$rsyslogd_pid" ]; then
        kill "$rsyslogd_pid" 2>/dev/null || true
        wait "$rsyslogd_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

mkdir -p "$work/logs/log" "$work/rsyslog"
cat >"$work/demo.ini" <<EOF
[LogConfig]
LogName=demo
LogPath=$work/logs
OneLogMaxSizeMB=1
IsPrintScreen=false
EOF

# The snippet as shipped, with this folder and a local output.
sed -e "s|File=\"[^\"]*\"|File=\"$work/logs/log/*.log\"|" \
    -e "s|action(type=\"omfwd\".*)|action(type=\"omfile\" file=\"$work/received\" template=\"LoggerForward\")|" \
    "$root/contrib/rsyslog/logger.conf" >"$work/logger.conf"
cat >"$work/rsyslog.conf" <<EOF
global(workDirectory="$work/rsyslog")
include(file="$work/logger.conf")
EOF
# A private rsyslogd: its configuration, pid file and work folder are here,
# its only input is the snippet's imfile (no socket, no /dev/log), and it is
# stopped by its pid; the system's rsyslog, running or not, is left alone.
rsyslogd -N1 -f "$work/rsyslog.conf" >"$work/rsyslogd.out" 2>&1 || { cat "$work/rsyslogd.out"; exit 1; }
rsyslogd -n -f "$work/rsyslog.conf" -i "$work/rsyslogd.pid" >"$work/rsyslogd.out" 2>&1 &
rsyslogd_pid=$!
wait_for 10 test -s "$work/rsyslogd.pid"

"$@" "$work/demo.ini" "$steps" >"$work/demo.out" 2>&1 || { cat "$work/demo.out"; exit 1; }
files=("$work"/logs/log/*.log)
[ "${#files[@]}" -ge 2 ] || { echo "check-contrib: no rollover: ${files[*]}"; exit 1; }

# Records as written: a line that starts with a time begins one, the lines
# that follow belong to it (joined as imfile joins them).
awk '/^\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9]\] \[/ { if (r != "") print r; r = $0; next }
     { r = r "\\n" $0 } END { if (r != "") print r }' "${files[@]}" | sort >"$work/written"
records=$(wc -l <"$work/written")
received_all() { [ "$(wc -l <"$work/received" 2>/dev/null || echo 0)" -ge "$records" ]; }
wait_for 60 received_all || true
kill "$rsyslogd_pid"
wait "$rsyslogd_pid" 2>/dev/null || true
! kill -0 "$rsyslogd_pid" 2>/dev/null || { echo "check-contrib: rsyslogd $rsyslogd_pid still runs"; exit 1; }
rsyslogd_pid=
# <PRI>1 TIME HOST TAG - - - LINE: the severity of each level, then the line.
awk '{ sev = substr($1, 2, index($1, ">") - 2) % 8; line = $0; for (i = 0; i < 7; ++i) sub(/^[^ ]+ /, "", line)
       match(line, /\] \[[A-Z]+/); level = substr(line, RSTART + 3, RLENGTH - 3)
       want = (level == "DEBUG") ? 7 : (level == "INFO") ? 6 : (level == "WARN") ? 4 : (level == "ERR") ? 3 : 2
       if (sev != want) { print "severity " sev " for " level > "/dev/stderr"; bad = 1 }
       print line } END { exit bad }' "$work/received" | sort >"$work/arrived"
if ! diff -q "$work/written" "$work/arrived" >/dev/null; then
    echo "check-contrib: rsyslog: $records records written, $(wc -l <"$work/arrived") arrived; differences:"
    diff "$work/written" "$work/arrived" | head -n 10
    cat "$work/rsyslogd.out"
    exit 1
fi
echo "== rsyslog: $records records in ${#files[@]} files, each arrived once with its severity"

# lnav with the format installed in a home of its own.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$XDG_CONFIG_HOME"
lnav -i "$root/contrib/lnav/loger_log.json" >"$work/lnav.out" 2>&1 || { cat "$work/lnav.out"; exit 1; }
lnav -C
counts=$(lnav -n -c ';SELECT log_level, count(*) FROM loger_log GROUP BY log_level ORDER BY log_level' \
    -c ':write-csv-to -' "${files[@]}" | tail -n +2 | tr '\n' ' ')
expected="debug,4 info,$((4 * steps + 8)) warning,1 error,1 "
if [ "$counts" != "$expected" ]; then
    echo "check-contrib: lnav counts '$counts', expected '$expected'"
    exit 1
fi
dates=$(lnav -n -c ";SELECT DISTINCT strftime('%Y%m%d', log_time) || '_' FROM loger_log" -c ':write-csv-to -' \
    "${files[@]}" | tail -n +2)
name=$(basename "${files[0]}")
if [ "$dates" != "${name:0:9}" ]; then
    echo "check-contrib: lnav dates '$dates' for $name"
    exit 1
fi
echo "== lnav: records by level: $counts(multi-line record kept whole; dates from the files)"
