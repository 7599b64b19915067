#!/bin/sh
# Builds the scheduler and starts it: installs the packages it needs, configures and
# builds into build/, creates the demo repository when the user has no saved connections
# yet, and runs the program. On a display the program runs as it is; without one it runs
# headless on Qt's offscreen platform (and says so), which keeps the scheduler working.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KALVOR_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The program, the product tool it starts for exports, checks and scheme lookups (found
# through the config.ini beside the program) and the store tool the README describes.
cmake --build "$build" --target KalvorScheduler KalvorCLI kalvor-tasks -j"$(nproc)"

data_home=${XDG_DATA_HOME:-$HOME/.local/share}
if [ ! -e "$data_home/Holmiq/KalvorIII_2013/ConnectionsConfig.xml" ] && [ -x "$root/scripts/make-demo-repository.sh" ]; then
    echo "start: no saved connections yet; creating the demo repository" >&2
    "$root/scripts/make-demo-repository.sh"
fi

# The help key starts "hh" from the search path; the built launcher lies beside the program.
PATH="$build/bin:$PATH"
export PATH
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "start: no display found; running headless on Qt's offscreen platform (no window, no tray; tasks still run)" >&2
    QT_QPA_PLATFORM=offscreen
    export QT_QPA_PLATFORM
fi
exec "$build/bin/KalvorScheduler" "$@"
