#!/bin/bash
# Builds Zelvoran.exe again from a copy of the sources in another folder and compares it, byte for
# byte, with the given build: no time stamp and no build path may make them differ.
set -euo pipefail
source_dir=$1
built_exe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/elsewhere"
(cd "$source_dir" && tar --exclude=./build --exclude=./.git -cf - .) | tar -C "$work/elsewhere" -xf -
cmake -S "$work/elsewhere" -B "$work/elsewhere/out" --preset windows > /dev/null
cmake --build "$work/elsewhere/out" > /dev/null
if cmp "$built_exe" "$work/elsewhere/out/Zelvoran.exe"; then
    echo "identical: $(sha256sum < "$built_exe" | cut -c1-16)... ($(stat -c %s "$built_exe") bytes)"
else
    echo "the two builds differ"
    exit 1
fi
