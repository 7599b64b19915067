#!/bin/sh
# Builds the Debian package and checks it on this machine (as root, as CI runs): lintian
# finds no error, apt-get installs it with its dependencies, the installed program starts
# headless from the search path, loads a store and fires the tasks that are due (a command,
# and a check through the tool that the installed config.ini names), kalvor-tasks
# lists the store from the search path, and a purge leaves no file of the package behind.
# Prints the package's size, installed size, install and purge times.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then
    echo "package-check: installs and purges the package; run it as root" >&2
    exit 2
fi

fail() {
    echo "package-check: FAILED: $*" >&2
    exit 1
}
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

deb=$("$root/scripts/package.sh")
echo "package-check: $deb" >&2
name=$(dpkg-deb -f "$deb" Package)

echo "package-check: lintian" >&2
lintian --fail-on error "$deb" || fail "lintian reports errors"

# A package left over by an interrupted run would spoil the comparison below.
if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q installed; then
    apt-get purge -y -qq "$name" >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kalvor-package.XXXXXX")
pid=""
cleanup() {
    status=$?
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT

# Every path of the package, and which of them the system has before the installation.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^\.\?$' | sort >"$work/paths"
while read -r p; do
    if [ -e "$p" ] || [ -L "$p" ]; then echo "$p"; fi
done <"$work/paths" >"$work/before"

t0=$(now)
apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "apt-get install"; }
t1=$(now)
install_time=$(seconds "$t0" "$t1")

dpkg -L "$name" | grep -v '^/\.$' | sort >"$work/listed"
cmp -s "$work/paths" "$work/listed" || { diff "$work/paths" "$work/listed" >&2; fail "dpkg -L differs from the package's contents"; }

[ "$(command -v kalvor-scheduler)" = /usr/bin/kalvor-scheduler ] || fail "kalvor-scheduler is not on the search path"
[ "$(command -v kalvor-tasks)" = /usr/bin/kalvor-tasks ] || fail "kalvor-tasks is not on the search path"
[ "$(command -v hh)" = /usr/bin/hh ] || fail "hh is not on the search path"
# What the program finds beside itself, and the theme icons; the tool stand-in stays out.
for f in /opt/kalvor-scheduler/kalvor-scheduler.desktop /opt/kalvor-scheduler/Help/KalvorScheduler.chm \
    /opt/kalvor-scheduler/translations/qtbase_ru.qm /opt/kalvor-scheduler/config.ini \
    /usr/share/icons/hicolor/16x16/apps/kalvor-scheduler.png /usr/share/icons/hicolor/256x256/apps/kalvor-scheduler.png; do
    [ -f "$f" ] || fail "$f is missing"
done
! grep -q KalvorCLI "$work/listed" || fail "the package holds the KalvorCLI stand-in"
version=$(dpkg-deb -f "$deb" Version)
zcat /usr/share/doc/kalvor-scheduler/changelog.gz | head -n 1 | grep -q "^$name ($version) " ||
    fail "the change log's newest entry is not for version $version"
appstreamcli validate --no-net /usr/share/metainfo/*.metainfo.xml >&2 || fail "AppStream metadata"
desktop-file-validate /usr/share/applications/kalvor-scheduler.desktop || fail "desktop entry"

# The product's tool as the installed config.ini names it: a stand-in that records its
# arguments. The edited configuration file must go with the purge as well.
mkdir -p "$work/tool"
cat >"$work/tool/KalvorCLI" <<TOOL
#!/bin/sh
printf '%s\n' "\$@" >"$work/tool-ran"
TOOL
chmod +x "$work/tool/KalvorCLI"
config=$(readlink -f /opt/kalvor-scheduler/config.ini)
grep -qx 'Kalvor-III=/opt/kalvorbim/bin' "$config" || fail "config.ini does not name the product's folder"
sed -i "s|^Kalvor-III=.*|Kalvor-III=$work/tool|" "$config"
: >"$work/model.ifc"
: >"$work/rules.ids"

# A user of our own: a store with a command task and a check task due in a few seconds.
home="$work/home"
mkdir -p "$home/config" "$home/data/Holmiq/KalvorScheduler" "$home/cache" "$home/runtime"
chmod 700 "$home/runtime"
cat >"$work/mark.sh" <<MARK
#!/bin/sh
printf '%s\n' "\$1" >"$work/fired"
MARK
chmod +x "$work/mark.sh"
due=$(($(date +%s) + 8))
cat >"$home/data/Holmiq/KalvorScheduler/storage.xml" <<STORE
<?xml version="1.0" encoding="utf-8"?>
<config><tasks><task><name>package check</name><description/><starting_point>${due}000000000</starting_point>
<run_only_on_working_days>false</run_only_on_working_days>
<trigger><type>daily</type><repeat_interval>1</repeat_interval></trigger>
<action><type>command</type><executable>$work/mark.sh</executable><arguments>fired by the installed scheduler</arguments>
<working_directory/></action></task>
<task><name>package tool</name><description/><starting_point>${due}000000000</starting_point>
<run_only_on_working_days>false</run_only_on_working_days>
<trigger><type>daily</type><repeat_interval>1</repeat_interval></trigger>
<action><type>check</type><ids_file>$work/rules.ids</ids_file><ids_file_mode>true</ids_file_mode>
<ifc_file>$work/model.ifc</ifc_file><ifc_file_mode>true</ifc_file_mode><only_changed_documents>false</only_changed_documents>
</action></task></tasks></config>
STORE
set -- PATH=/usr/local/bin:/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen

env -i "$@" kalvor-tasks list >"$work/list.txt" 2>&1 || { cat "$work/list.txt" >&2; fail "kalvor-tasks list"; }
grep -q "package check" "$work/list.txt" || { cat "$work/list.txt" >&2; fail "kalvor-tasks list does not show the task"; }

env -i "$@" kalvor-scheduler >"$work/scheduler.log" 2>&1 &
pid=$!
waited=0
while { [ ! -s "$work/fired" ] || [ ! -s "$work/tool-ran" ]; } && [ $waited -lt 60 ] && kill -0 "$pid" 2>/dev/null; do
    sleep 1
    waited=$((waited + 1))
done
sleep 1
log="$home/cache/Holmiq/KalvorScheduler/package check.log"
if [ "$(cat "$work/fired" 2>/dev/null)" != "fired by the installed scheduler" ] ||
    ! grep -q "Начало выполнения задания." "$log" 2>/dev/null ||
    ! grep -q "Завершение выполнения задания." "$log"; then
    cat "$work/scheduler.log" >&2
    fail "the installed scheduler did not fire the stored task"
fi
tool_log="$home/cache/Holmiq/KalvorScheduler/package tool.log"
if [ "$(tr '\n' ' ' <"$work/tool-ran" 2>/dev/null)" != "--action check --format ids --source-path $work/model.ifc --check-path $work/rules.ids " ] ||
    ! grep -q "Задание успешно выполнено." "$tool_log" 2>/dev/null; then
    cat "$work/scheduler.log" >&2
    fail "the installed scheduler did not run the tool that config.ini names"
fi
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=""
echo "package-check: the installed scheduler fired both tasks ($waited s after start)" >&2

t0=$(now)
apt-get purge -y -qq "$name" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "apt-get purge"; }
t1=$(now)
purge_time=$(seconds "$t0" "$t1")

while read -r p; do
    if [ -e "$p" ] || [ -L "$p" ]; then echo "$p"; fi
done <"$work/paths" >"$work/after"
left=$(comm -13 "$work/before" "$work/after")
[ -z "$left" ] || fail "left behind after the purge: $left"

size=$(stat -c %s "$deb")
installed=$(dpkg-deb -f "$deb" Installed-Size)
echo "package-check: passed. Package $(basename "$deb"): $size bytes; installed size $installed KiB; install ${install_time} s; purge ${purge_time} s"
