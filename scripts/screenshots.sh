#!/bin/sh
# Saves screenshots of the scheduler for the README and for review: the main window, the
# tray menu and the list's context menu, as PNG files in the given directory. Runs the
# program built in build/ (or $KALVOR_BUILD_DIR) on a private X server with a tray host,
# with a demo store of a few tasks in throw-away XDG directories.
#
# Usage: scripts/screenshots.sh OUTPUT-DIRECTORY
set -eu
[ $# -eq 1 ] || { echo "usage: $0 OUTPUT-DIRECTORY" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KALVOR_BUILD_DIR:-$root/build}
mkdir -p "$1"
out=$(cd "$1" && pwd)
[ -x "$build/bin/KalvorScheduler" ] || { echo "screenshots: build KalvorScheduler into $build first" >&2; exit 1; }

if [ "${KALVOR_SCREENSHOTS_INNER:-}" != 1 ]; then
    home=$(mktemp -d "${TMPDIR:-/tmp}/kalvor-shots.XXXXXX")
    trap 'rm -rf "$home"' EXIT
    mkdir -p "$home/config/Holmiq" "$home/data/Holmiq/KalvorScheduler" "$home/cache"
    # The window shows at once, as on a first start.
    export XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" HOME="$home"
    if [ -x "$root/scripts/make-demo-repository.sh" ]; then
        "$root/scripts/make-demo-repository.sh" >/dev/null 2>&1 || true
    fi
    cat >"$home/data/Holmiq/KalvorScheduler/storage.xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<config>
	<tasks>
		<task>
			<name>Резервная копия проектов</name>
			<description>Каждую ночь</description>
			<starting_point>1772440200000000000</starting_point>
			<run_only_on_working_days>false</run_only_on_working_days>
			<trigger>
				<type>daily</type>
				<repeat_interval>1</repeat_interval>
			</trigger>
			<action>
				<type>backup</type>
				<connection_id>00000000-0000-0000-0000-000000000000</connection_id>
				<source_path>vadro://Демо/Проекты</source_path>
				<destination_path>/srv/backup/kalvor</destination_path>
			</action>
		</task>
		<task>
			<name>Экспорт в DWG</name>
			<description/>
			<starting_point>1772440200000000000</starting_point>
			<run_only_on_working_days>true</run_only_on_working_days>
			<trigger>
				<type>weekly</type>
				<repeat_interval>2</repeat_interval>
				<weekdays>
					<weekday>1</weekday>
					<weekday>5</weekday>
				</weekdays>
			</trigger>
			<action>
				<type>command</type>
				<executable>/usr/bin/true</executable>
				<arguments/>
				<working_directory/>
			</action>
		</task>
		<task>
			<name>Очистка временных файлов</name>
			<description/>
			<starting_point>1772440200000000000</starting_point>
			<run_only_on_working_days>false</run_only_on_working_days>
			<trigger>
				<type>daily</type>
				<repeat_interval>22</repeat_interval>
			</trigger>
			<action>
				<type>command</type>
				<executable>/usr/bin/true</executable>
				<arguments/>
				<working_directory/>
			</action>
		</task>
	</tasks>
</config>
XML
    KALVOR_SCREENSHOTS_INNER=1 "$root/scripts/with-xvfb-tray.sh" "$0" "$out"
    exit $?
fi

"$build/bin/KalvorScheduler" 2>/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null' EXIT

window=""
for _ in $(seq 100); do
    for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        [ "$(xdotool getwindowname "$w")" = "Планировщик задач КАЛВОР" ] && window=$w
    done
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "screenshots: the main window did not appear" >&2; exit 1; }
xdotool windowsize "$window" 760 360 windowmove "$window" 40 60
sleep 0.5
import -window "$window" "$out/main-window.png"

# Context menu on the second row, which gets selected first.
xdotool mousemove --window "$window" 120 45 click 1
sleep 0.3
xdotool mousemove --window "$window" 120 45 click 3
sleep 0.5
import -window root -crop 760x360+40+60 "$out/context-menu.png"
xdotool key Escape
sleep 0.3

# The tray icon sits in trayer's panel at the top right corner of the screen.
tray=""
for w in $(xdotool search --onlyvisible --pid "$pid"); do
    [ "$(xdotool getwindowname "$w")" = "KalvorScheduler" ] && tray=$w
done
[ -n "$tray" ] || { echo "screenshots: no tray icon found" >&2; exit 1; }
xdotool mousemove --window "$tray" 5 5 click 3
sleep 0.5
import -window root -crop 420x160+860+0 "$out/tray-menu.png"
xdotool key Escape
echo "screenshots: wrote main-window.png, context-menu.png and tray-menu.png to $out" >&2
