#!/usr/bin/env bash
# Reads and ships real logs with contrib/, using Debian's lnav and rsyslog:
#   scripts/check-contrib.sh [RUNNER...] DEMO_HOST TEST_HOST
# (RUNNER, e.g. qemu-arm and its options, runs both hosts). The demo host logs
# across a rollover, and lnav loads its files with contrib/lnav/loger_log.json
# and counts the records by level. Then scripts/check-shipping.sh ships the
# test host's records from a device to a collector with contrib/rsyslog/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ "$#" -ge 2 ] || { echo "usage: $0 [RUNNER...] DEMO_HOST TEST_HOST" >&2; exit 2; }
runner=("${@:1:$#-2}")
demo_host=("${runner[@]}" "${@:$#-1:1}")
test_host=("${runner[@]}" "${@:$#:1}")
steps=4000 # 4 workers, about 1.4 MB of lines: one rollover at 1 MiB
work=$(mktemp -d /tmp/logger-contrib-XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/logs/log"
cat >"$work/demo.ini" <<EOF
[LogConfig]
LogName=demo
LogPath=$work/logs
OneLogMaxSizeMB=1
IsPrintScreen=false
EOF
"${demo_host[@]}" "$work/demo.ini" "$steps" >"$work/demo.out" 2>&1 || { cat "$work/demo.out"; exit 1; }
files=("$work"/logs/log/*.log)
[ "${#files[@]}" -ge 2 ] || { echo "check-contrib: no rollover: ${files[*]}"; exit 1; }

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

bash "$root/scripts/check-shipping.sh" "${test_host[@]}"
