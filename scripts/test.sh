#!/bin/sh
# Sets up the machine, builds and runs every test.
#   scripts/test.sh                 release build in build/, all tests
#   scripts/test.sh --asan          AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan          ThreadSanitizer build in build-tsan/ (the threaded parts)
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
"$root/scripts/install-deps.sh"

mode=${1:-}
jobs=$(nproc 2>/dev/null || echo 2)
# Cache hits across checkouts in different directories.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=time_macros,include_file_mtime,include_file_ctime
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}

case "$mode" in
"")
    build=build
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$jobs"
    cd "$build" && ctest --output-on-failure -j "$jobs"
    ;;
--asan)
    build=build-asan
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKALVOR_SANITIZE="address;undefined" \
        -DKALVOR_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" -j "$jobs"
    # Qt's font and platform plugins are not built with the sanitizer; their one-time
    # allocations are not ours to chase.
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    cd "$build" && ctest --output-on-failure -j "$jobs"
    ;;
--tsan)
    build=build-tsan
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKALVOR_SANITIZE=thread -DKALVOR_BUILD_BENCH=OFF \
        -DKALVOR_BUILD_GUI=OFF >/dev/null
    cmake --build "$build" -j "$jobs"
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp"
    cd "$build" && ctest --output-on-failure -j "$jobs" -R '^(model|scheduler|execution|repository|tools)\.'
    ;;
*)
    echo "usage: $0 [--asan|--tsan]" >&2
    exit 2
    ;;
esac
