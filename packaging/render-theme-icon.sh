#!/bin/sh
# Renders one drawing of resources/icons (drawn on a 48 x 48 grid) into a PNG of the
# given size for the icon theme. Needs ImageMagick.
# Usage: render-theme-icon.sh DRAWING.mvg SIZE OUT.png
set -eu
[ $# -eq 3 ] || { echo "usage: $0 DRAWING.mvg SIZE OUT.png" >&2; exit 2; }
scale=$(awk -v s="$2" 'BEGIN { printf "%.6f", s / 48 }')
drawing="scale $scale,$scale
$(grep -v '^#' "$1")"
# No time chunks: the same drawing gives the same bytes in every build.
convert -size "$2x$2" xc:none -draw "$drawing" -define png:exclude-chunks=date,time "PNG32:$3.tmp"
mv "$3.tmp" "$3"
