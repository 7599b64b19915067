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
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b" 2>/dev/null || echo "(failed: $?)"
done
rm -rf "$work"
