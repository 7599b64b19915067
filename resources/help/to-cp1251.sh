#!/bin/sh
# Converts the given UTF-8 help project files to windows-1251 in place; a file that
# declares its charset is made to declare the new one.
set -eu
for f in "$@"; do
    iconv -f UTF-8 -t CP1251 "$f" | sed 's/charset=utf-8/charset=windows-1251/' >"$f.cp1251"
    mv "$f.cp1251" "$f"
done
