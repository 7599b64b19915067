#!/bin/sh
# Installs every Debian package the project needs to build, run and test.
# Idempotent: when everything is present it prints nothing and changes nothing.
set -eu

PACKAGES="build-essential cmake ninja-build ccache clang libclang-rt-14-dev clang-format
qtbase5-dev qtbase5-dev-tools libqt5network5 qttranslations5-l10n
libboost-all-dev libhowardhinnant-date-dev tzdata
libbenchmark-dev xvfb xauth trayer xdotool imagemagick x11-utils
desktop-file-utils libfaketime fp-utils-3.2.2 afl++ xchm
appstream lintian"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
