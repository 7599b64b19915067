#!/bin/sh
# Runs a command on a private X server that has a system tray: starts Xvfb on a free
# display and the tray host trayer on it, waits until the tray is up, runs the command
# on the xcb platform and stops both again. The command's exit status is returned.
#
# With --no-tray the display has no tray host; the command may start one itself.
#
# Without Xvfb or trayer the command runs as it is (on the offscreen platform when the
# caller set it), so tray tests find no tray and skip.
set -u
start_tray=1
if [ "${1:-}" = "--no-tray" ]; then
    start_tray=0
    shift
fi

if ! command -v Xvfb >/dev/null 2>&1 || ! command -v trayer >/dev/null 2>&1; then
    echo "with-xvfb-tray: Xvfb or trayer is not installed; running without a tray" >&2
    exec "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kalvor-xvfb.XXXXXX")
xvfb_pid=""
trayer_pid=""
cleanup() {
    [ -n "$trayer_pid" ] && kill "$trayer_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts Xvfb and, when asked, trayer; true once the display answers and the tray is up.
# Several test runs start servers at once, so a start that loses a race is tried again.
start_display() {
    : >"$work/display"
    # Xvfb picks a free display itself and writes its number to the given descriptor.
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    i=0
    while [ ! -s "$work/display" ]; do
        i=$((i + 1))
        if [ $i -gt 100 ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
            return 1
        fi
        sleep 0.05
    done
    DISPLAY=:$(head -n 1 "$work/display")
    export DISPLAY
    i=0
    until xwininfo -root >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -gt 100 ] && return 1
        sleep 0.05
    done
    [ "$start_tray" = 1 ] || return 0
    trayer --edge top --align right --widthtype request --height 24 --SetDockType true >"$work/trayer.log" 2>&1 &
    trayer_pid=$!
    # trayer maps its panel once it has taken the tray selection.
    i=0
    until xwininfo -root -tree 2>/dev/null | grep -q '"panel": ("panel" "trayer")'; do
        i=$((i + 1))
        if [ $i -gt 100 ] || ! kill -0 "$trayer_pid" 2>/dev/null; then
            return 1
        fi
        sleep 0.05
    done
}

attempt=1
until start_display; do
    if [ $attempt -ge 3 ]; then
        echo "with-xvfb-tray: no display with a tray came up:" >&2
        cat "$work/xvfb.log" "$work/trayer.log" >&2 2>/dev/null
        exit 1
    fi
    [ -n "$trayer_pid" ] && kill "$trayer_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    trayer_pid=""
    xvfb_pid=""
    attempt=$((attempt + 1))
    sleep 0.5
done

unset QT_QPA_PLATFORM
"$@"
status=$?
exit $status
