#!/bin/bash
# Builds Zelvoran.exe and its release archive again from a copy of the sources in another folder
# and compares both, byte for byte, with the given build: no time stamp and no build path may make
# them differ.
set -euo pipefail
source_dir=$1
built_exe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/elsewhere"
(cd "$source_dir" && tar --exclude=./build --exclude=./.git -cf - .) | tar -C "$work/elsewhere" -xf -
cmake -S "$work/elsewhere" -B "$work/elsewhere/out" --preset windows > /dev/null
cmake --build "$work/elsewhere/out" --target Zelvoran release > /dev/null
for built in "$built_exe" "$(dirname "$built_exe")"/Zelvoran-*-win32.zip; do
    if cmp "$built" "$work/elsewhere/out/$(basename "$built")"; then
        echo "identical: $(basename "$built") $(sha256sum < "$built" | cut -c1-16)..." \
             "($(stat -c %s "$built") bytes)"
    else
        echo "the two builds of $(basename "$built") differ"
        exit 1
    fi
done
