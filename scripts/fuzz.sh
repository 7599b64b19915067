#!/bin/sh
# Builds the store parser's fuzzer with clang's libFuzzer and runs it for N seconds
# (default 60) from the store files in tests/fuzz/corpus, with the markup, references and
# element names of tests/fuzz/store.dict. Inputs reach 512 KiB, deep enough for nesting
# that would overflow the reader's stack. A finding is written as crash-* into the
# current folder and ends the run with a non-zero status.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKALVOR_BUILD_FUZZ=ON -DKALVOR_BUILD_TESTS=ON -DKALVOR_BUILD_BENCH=OFF -DKALVOR_BUILD_GUI=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
cmake --build build-fuzz --target StoreParserFuzz
work=$(mktemp -d)
cp tests/fuzz/corpus/* "$work/"
ASAN_OPTIONS=detect_leaks=0 build-fuzz/tests/fuzz/StoreParserFuzz -max_total_time="$seconds" -timeout=10 \
    -max_len=524288 -rss_limit_mb=2048 -print_final_stats=1 -dict=tests/fuzz/store.dict "$work"
rm -rf "$work"
