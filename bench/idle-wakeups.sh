#!/bin/sh
# Counts how often the resting program wakes up: starts the built scheduler on a private
# display with a tray host and a store of N tasks that are not due for years, lets it
# settle, then counts each thread's context switches over a minute, first with the window
# hidden in the tray, then with the window shown (a second start shows it).
#   tests/run-isolated.sh scripts/with-xvfb-tray.sh bench/idle-wakeups.sh build/bin [N] [SECONDS] [SETTLE]
# SETTLE (default 10 s) is how long it waits before counting: Qt's pixmap cache looks at
# what the start drew every 10 to 30 seconds for about two minutes before it rests.
# Prints one line per thread and state: state, thread id:name, switches per minute, and
# the sum over the threads.
set -eu
bin=$1
count=${2:-1000}
seconds=${3:-60}
settle=${4:-10}

store_dir="$XDG_DATA_HOME/Holmiq/KalvorScheduler"
mkdir -p "$store_dir"
{
    printf '<?xml version="1.0" encoding="utf-8"?>\n<config>\n\t<tasks>\n'
    i=0
    while [ "$i" -lt "$count" ]; do
        # 2036-01-07 08:00 UTC onwards, one minute apart: armed, never due while measured.
        start=$((2083219200 + i * 60))000000000
        printf '\t\t<task>\n\t\t\t<name>Задача %d</name>\n\t\t\t<description/>\n' "$i"
        printf '\t\t\t<starting_point>%s</starting_point>\n' "$start"
        printf '\t\t\t<run_only_on_working_days>false</run_only_on_working_days>\n'
        printf '\t\t\t<trigger>\n\t\t\t\t<type>daily</type>\n\t\t\t\t<repeat_interval>1</repeat_interval>\n\t\t\t</trigger>\n'
        printf '\t\t\t<action>\n\t\t\t\t<type>command</type>\n\t\t\t\t<executable>/bin/true</executable>\n'
        printf '\t\t\t\t<working_directory/>\n\t\t\t\t<arguments/>\n\t\t\t</action>\n\t\t</task>\n'
        i=$((i + 1))
    done
    printf '\t</tasks>\n</config>\n'
} >"$store_dir/storage.xml"

"$bin/KalvorScheduler" 2>/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT

# Sums voluntary and involuntary switches per thread name.
sample() {
    for t in /proc/$pid/task/*; do
        name=${t##*/}:$(cat "$t/comm" 2>/dev/null) || continue
        awk -v n="$name" '/ctxt_switches/ { s += $2 } END { print n "\t" s }' "$t/status" 2>/dev/null
    done | sort
}
measure() {
    sleep "$settle"
    sample >"$TMPDIR_W/before"
    sleep "$seconds"
    sample >"$TMPDIR_W/after"
    join -t "$(printf '\t')" "$TMPDIR_W/before" "$TMPDIR_W/after" |
        awk -F '\t' -v state="$1" -v s="$seconds" '{ d = ($3 - $2) * 60 / s; all += d; printf "%s\t%s\t%.1f\n", state, $1, d }
            END { printf "%s\tall threads\t%.1f\n", state, all }'
}
TMPDIR_W=$(mktemp -d)
measure hidden
"$bin/KalvorScheduler" 2>/dev/null || true
measure shown
rm -rf "$TMPDIR_W"
