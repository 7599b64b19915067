#!/bin/sh
# Builds the benchmarks in build-bench/ (release) and runs every one of them. The
# figures depend on the machine and its load: run on an otherwise idle machine.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKALVOR_BUILD_TESTS=OFF -DKALVOR_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)"
export QT_QPA_PLATFORM=offscreen
work=$(mktemp -d)
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
for b in build-bench/bench/bench_*; do
    [ -f "$b" ] && [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    case "$(basename "$b")" in
    bench_app_Startup)
        # Start-up figures need a tray host and a store of their own.
        for n in 1000 10000; do
            tests/run-isolated.sh scripts/with-xvfb-tray.sh "$b" "$n" 2>/dev/null || echo "(failed: $?)"
        done
        ;;
    *) "$b" 2>/dev/null || echo "(failed: $?)" ;;
    esac
done
rm -rf "$work"
