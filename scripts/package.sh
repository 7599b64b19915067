#!/bin/sh
# Builds the Debian package from the release build in build/ (the one scripts/test.sh
# makes) and prints the package's path; with --install, installs it with apt-get, which
# pulls its dependencies.
#   scripts/package.sh              build/kalvor-scheduler_<version>_<arch>.deb
#   scripts/package.sh --install    the same, then installed
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
case "${1:-}" in
"" | --install) ;;
*)
    echo "usage: $0 [--install]" >&2
    exit 2
    ;;
esac
"$root/scripts/install-deps.sh"

export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=time_macros,include_file_mtime,include_file_ctime
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >&2
# A fresh staging folder: nothing of an earlier package slips into this one.
rm -rf build/kalvor-scheduler_*.deb build/_CPack_Packages
(cd build && cpack -G DEB >&2)
deb=$(ls "$root"/build/kalvor-scheduler_*.deb)
if [ "${1:-}" = --install ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >&2
fi
echo "$deb"
