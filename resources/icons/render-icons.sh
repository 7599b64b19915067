#!/bin/sh
# Renders every *.mvg drawing of this folder (drawn on a 48 x 48 grid) into a Windows
# icon file with 16, 24, 32 and 48 pixel images, next to the drawing's folder. Needs
# ImageMagick and bc. Run it after changing a drawing and commit the .ico files it writes.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/..}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for src in "$here"/*.mvg; do
    name=$(basename "$src" .mvg)
    images=""
    for size in 16 24 32 48; do
        scale=$(echo "scale=6; $size / 48" | bc)
        drawing="scale $scale,$scale
$(grep -v '^#' "$src")"
        convert -size "${size}x${size}" xc:none -draw "$drawing" "PNG32:$work/$name-$size.png"
        images="$images $work/$name-$size.png"
    done
    # shellcheck disable=SC2086
    convert $images "$out/$name.ico"
done
# The desktop entry's icon for the icon theme.
cp "$work/KalvorScheduler-48.png" "$out/kalvor-scheduler.png"
