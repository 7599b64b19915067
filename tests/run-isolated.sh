#!/bin/sh
# Runs a test with its own XDG directories and removes them afterwards.
set -u
root=$(mktemp -d "${TMPDIR:-/tmp}/kalvor-test.XXXXXX")
mkdir -p "$root/config" "$root/data" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"
export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache"
export XDG_RUNTIME_DIR="$root/runtime" HOME="$root"
export KALVOR_TEST_ROOT="$root"
"$@"
status=$?
rm -rf "$root"
exit $status
