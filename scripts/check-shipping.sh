#!/usr/bin/env bash
# Ships a log from a device to a collector with contrib/rsyslog/device.conf
# and collector.conf, each a private rsyslogd on this machine's loopback:
#   scripts/check-shipping.sh TEST_HOST_COMMAND...
# The test host writes 20,000 numbered records from 4 threads over 35 s (the
# levels in turn, some over three lines, some with a tab, some longer than
# 12,000 bytes) into 1 MiB files. The collector is stopped after 10 s, for
# 15 s; once it is back and records flow again, the device's rsyslogd is
# restarted. At the end every record must be at the collector, whole, with
# its level's severity, and lnav must read the collected file; duplicates are
# counted (at most a RELP window per interruption). Before the outage every
# record must arrive within 10 s.
# A second device, writing at the same time, is restarted inside the outage:
# what it loses is printed, and must stay within RELP's window of 128.
# Every rsyslogd started here is stopped by its pid on any exit; KEEP_WORK=1
# keeps their folder for a look.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
records=20000 seconds=35 down=10 outage=15 inside_records=8000
work=$(mktemp -d /tmp/logger-shipping-XXXXXX)
declare -A daemon=() # collector, fleet, inside: the pid of each rsyslogd
helpers=()           # writers and samplers
finish() {
    local name pid
    for pid in "${helpers[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for name in "${!daemon[@]}"; do
        kill "${daemon[$name]}" 2>/dev/null || true
    done
    for name in "${!daemon[@]}"; do
        wait "${daemon[$name]}" 2>/dev/null || true
    done
    [ -n "${KEEP_WORK:-}" ] && echo "check-shipping: kept $work" || rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
# Sleeps until $1 seconds after the writers started.
sleep_until() { [ "$((t0 + $1 - SECONDS))" -le 0 ] || sleep "$((t0 + $1 - SECONDS))"; }
now() { date +%H:%M:%S.%N | awk -F: '{ printf "%.3f\n", $1 * 3600 + $2 * 60 + $3 }'; }
fail() {
    echo "check-shipping: $*"
    tail -n 5 "$work"/*.out
    exit 1
}

# A free port on the loopback: nothing answers there.
port=$((20000 + RANDOM % 10000))
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    port=$((port + 1))
done

# The collector as shipped; this copy listens on the loopback only and adds
# a second file with each record's severity and time of arrival.
echo 'template(name="Arrival" type="string" string="%app-name% %syslogseverity% %timegenerated:::date-rfc3339% %msg%\n")' \
    >"$work/collector.conf"
sed -e "s|input(type=\"imrelp\"|input(type=\"imrelp\" address=\"127.0.0.1\"|" \
    -e "s|^\( *\)action(type=\"omfile\" dynaFile|\1action(type=\"omfile\" file=\"$work/arrivals\" template=\"Arrival\")\n&|" \
    "$root/contrib/rsyslog/collector.conf" >>"$work/collector.conf"
grep -q 'file="[^"]*/arrivals"' "$work/collector.conf" && grep -q 'address="127.0.0.1"' "$work/collector.conf" ||
    fail "the collector's copy has no arrivals action or no loopback address"

# private_rsyslogd NAME ARGS...: becomes rsyslogd with the configuration and
# environment of NAME (collector, fleet, inside), its queue and read
# positions in $work/NAME/work.
private_rsyslogd() {
    local name=$1 conf=$root/contrib/rsyslog/device.conf
    shift
    [ "$name" != collector ] || conf=$work/collector.conf
    mkdir -p "$work/$name/work" "$work/$name/log"
    exec env LOGGER_LOG_DIR="$work/$name/log" LOGGER_LOG_NAME="$name" LOGGER_WORK_DIR="$work/$name/work" \
        LOGGER_COLLECTOR_HOST=127.0.0.1 LOGGER_COLLECTOR_PORT="$port" rsyslogd -f "$conf" "$@"
}
start() {
    private_rsyslogd "$1" -n -i "$work/$1/rsyslogd.pid" >>"$work/$1.out" 2>&1 &
    daemon[$1]=$!
    wait_for 10 test -s "$work/$1/rsyslogd.pid" || fail "rsyslogd $1 did not start"
}
# stop NAME: SIGTERM, as systemd stops it; it must be gone within 60 s.
stop() {
    local pid=${daemon[$1]}
    kill "$pid"
    wait_for 60 eval '! kill -0 '"$pid"' 2>/dev/null' || fail "rsyslogd $1 still runs 60 s after SIGTERM"
    wait "$pid" 2>/dev/null || true
    unset "daemon[$1]"
}
for name in collector fleet inside; do
    (private_rsyslogd "$name" -N1) >"$work/$name.out" 2>&1 || { cat "$work/$name.out"; exit 1; }
done

# The peak size of a device's disk queue, sampled every 0.1 s.
sample_queue() {
    local peak=0 size
    while :; do
        size=$(find "$1" -maxdepth 1 -name 'logger_relp.*' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
        [ "$size" -le "$peak" ] || { peak=$size; echo "$peak" >"$2"; }
        sleep 0.1
    done
}

for name in fleet inside; do
    printf '[LogConfig]\nLogName=%s\nLogPath=%s\nOneLogMaxSizeMB=1\nIsPrintScreen=false\n' \
        "$name" "$work/$name" >"$work/$name.ini"
done
start collector
start fleet
start inside
echo 0 >"$work/fleet.peak"
sample_queue "$work/fleet/work" "$work/fleet.peak" &
helpers+=($!)

t0=$SECONDS
"$@" init-ini "$work/fleet.ini" numbered 4 "$records" "$seconds" >"$work/fleet-host.out" 2>&1 &
fleet_writer=$!
helpers+=($!)
"$@" init-ini "$work/inside.ini" numbered 2 "$inside_records" "$seconds" >"$work/inside-host.out" 2>&1 &
inside_writer=$!
helpers+=($!)

# received NAME: the lines at the collector from that log, in one file.
received() { cat "$work"/collector/log/*/*_"$1".log 2>/dev/null || true; }
count() { received "$1" | wc -l; }

sleep_until "$down"
down_at=$(now)
stop collector
sleep_until $((down + 2))
stop inside # restarted inside the outage, its queue in memory
start inside
sleep_until $((down + outage))
before=$(count fleet)
start collector
up_at=$(now)
# Records flow again: the device's rsyslogd is restarted while the backlog drains.
more_than() { [ "$(count fleet)" -gt "$1" ]; }
wait_for 20 more_than "$before" || fail "no record arrived within 20 s of the collector's return"
stop fleet
start fleet
wait "$fleet_writer" || fail "the test host failed: $(tail -n 3 "$work/fleet-host.out")"
wait "$inside_writer" || fail "the test host failed: $(tail -n 3 "$work/inside-host.out")"

# Records as written: a line that starts with a time begins one, the lines
# after it belong to it (joined with \n, as imfile sends them).
written() {
    awk 'FNR == 1 && r != "" { print r; r = "" }
         /^\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9]\] \[/ { if (r != "") print r; r = $0; next }
         { r = r "\\n" $0 } END { if (r != "") print r }' "$work/$1"/log/*.log | sort
}
written fleet >"$work/fleet.written"
written inside >"$work/inside.written"
numbers=$(grep -o '\[record [0-9]*' "$work/fleet.written" | sort -u | wc -l)
[ "$numbers" -eq "$records" ] || fail "the test host wrote $numbers numbered records, not $records"
files=$(ls "$work"/fleet/log/*.log | wc -l)
[ "$files" -ge 5 ] || fail "$files files: too few rollovers"

all_arrived() { [ "$(received "$1" | sort -u | comm -12 - "$work/$1.written" | wc -l)" -eq "$(wc -l <"$work/$1.written")" ]; }
wait_for 30 all_arrived fleet || true
# The device restarted inside the outage may never deliver all: wait until
# its count stays the same for 3 s.
last=-1
until [ "$(count inside)" -eq "$last" ] || all_arrived inside; do
    last=$(count inside)
    sleep 3
done
for name in fleet inside collector; do
    stop "$name"
done
kill "${helpers[0]}"

# missing, duplicated and torn of one log.
tally() {
    received "$1" | sort >"$work/$1.received"
    local missing duplicated torn
    missing=$(sort -u "$work/$1.received" | comm -23 "$work/$1.written" - | wc -l)
    duplicated=$(($(wc -l <"$work/$1.received") - $(sort -u "$work/$1.received" | wc -l)))
    torn=$(sort -u "$work/$1.received" | comm -13 "$work/$1.written" - | wc -l)
    echo "$(wc -l <"$work/$1.written") $missing $duplicated $torn"
}
read -r fleet_written fleet_missing fleet_duplicated fleet_torn < <(tally fleet)
read -r inside_written inside_missing inside_duplicated inside_torn < <(tally inside)
# Each interruption resends at most RELP's window (128) of records that had
# arrived; more would mean read positions lost.
if [ "$fleet_missing" -ne 0 ] || [ "$fleet_torn" -ne 0 ] || [ "$fleet_duplicated" -gt 256 ]; then
    { sort -u "$work/fleet.received" | comm -23 "$work/fleet.written" - | cut -c1-120 | head -n 5; } || true
    { sort -u "$work/fleet.received" | comm -13 "$work/fleet.written" - | cut -c1-120 | head -n 5; } || true
    fail "$fleet_written records written; at the collector $fleet_missing missing, $fleet_torn torn," \
         "$fleet_duplicated duplicated"
fi

# Each record's severity from its level; its delay from its time of writing
# to its first arrival, by when it was written: before the outage (up),
# during it (backlog: its last arrival after the return), after it.
awk -v down="$down_at" -v up="$up_at" '
    function seconds(t) { split(t, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
    $1 != "fleet" { next }
    {
        level = substr($5, 2); sub(/]$/, "", level)
        want = level == "DEBUG" ? 7 : level == "INFO" ? 6 : level == "WARN" ? 4 : level == "ERR" ? 3 : 2
        if ($2 != want) { print "severity " $2 " for " level > "/dev/stderr"; bad = 1 }
        if (seen[substr($0, index($0, "["))]++) next
        arrived = seconds(substr($3, 12, 15)); wrote = seconds(substr($4, 2, 12))
        delay = arrived - wrote; if (delay < -43200) delay += 86400
        if (wrote < down - 1) print "up", delay
        else if (wrote < up) print "backlog", arrived - up
        else print "after", delay
    }
    END { exit bad }' "$work/arrivals" >"$work/delays" || fail "a record arrived with the wrong severity"
# phase median max
spread() { awk -v p="$1" '$1 == p { print $2 }' "$work/delays" | sort -n |
    awk '{ d[NR] = $1 } END { printf "%.2f %.2f\n", d[int((NR + 1) / 2)], d[NR] }'; }
read -r median_up max_up < <(spread up)
read -r _ backlog_done < <(spread backlog)
read -r median_after max_after < <(spread after)
awk -v d="$max_up" 'BEGIN { exit !(d <= 10) }' || fail "a record written while the collector was up arrived after ${max_up} s"
[ "$inside_missing" -le 128 ] && [ "$inside_torn" -eq 0 ] ||
    fail "a restart inside the outage lost $inside_missing records (tore $inside_torn), more than RELP's window"

# lnav reads the collected file: one record per line, by level, as arrived.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$XDG_CONFIG_HOME"
lnav -i "$root/contrib/lnav/loger_log.json" >"$work/lnav.out" 2>&1 || { cat "$work/lnav.out"; exit 1; }
expected=$(sed -E 's/^\[[^]]*\] \[([A-Z]+) *\].*/\1/' "$work/fleet.received" | sort | uniq -c |
    awk '{ print tolower($2) "," $1 }' | sed 's/^warn,/warning,/; s/^err,/error,/' | sort | tr '\n' ' ')
counts=$(lnav -n -c ';SELECT log_level, count(*) FROM loger_log GROUP BY log_level' \
    -c ':write-csv-to -' "$work"/collector/log/*/*_fleet.log | tail -n +2 | sort | tr '\n' ' ')
[ "$counts" = "$expected" ] || fail "lnav counts '$counts' in the collected file, expected '$expected'"

echo "== shipping: $fleet_written records in $files files of 1 MiB, collector away ${outage} s, device restarted" \
     "after its return: $fleet_missing missing, $fleet_torn torn, $fleet_duplicated duplicated; severities right;" \
     "lnav reads the collected file ($(($(wc -l <"$work/fleet.received"))) lines)"
echo "== shipping: delay while up median ${median_up} s, max ${max_up} s; the outage's backlog all in" \
     "${backlog_done} s after the collector's return; delays after it median ${median_after} s, max ${max_after} s;" \
     "disk queue peak $(cat "$work/fleet.peak") bytes"
echo "== shipping: a device restarted inside the outage: $inside_written written," \
     "$inside_missing missing, $inside_torn torn, $inside_duplicated duplicated"
