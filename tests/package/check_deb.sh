#!/bin/bash
# Builds the Debian package of zelvoran-offline from the host build, checks its dependencies and
# files, and runs the installed binary and manual page from a scratch root.
set -euo pipefail
build_dir=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build_dir/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log"
deb="$work/out/zelvoran-offline_${version}_amd64.deb"
[ -f "$deb" ] || { cat "$work/cpack.log"; echo "no $deb"; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q 'libhivex0 (>= ' <<< "$depends" || { echo "no dependency on the hivex library"; exit 1; }

dpkg-deb -x "$deb" "$work/root"
for file in usr/bin/zelvoran-offline usr/share/man/man1/zelvoran-offline.1.gz \
            usr/share/doc/zelvoran-offline/README.md usr/share/doc/zelvoran-offline/copyright; do
    [ -f "$work/root/$file" ] || { echo "missing /$file"; exit 1; }
done
"$work/root/usr/bin/zelvoran-offline" --help | grep -q '^Usage: zelvoran-offline'
[ "$("$work/root/usr/bin/zelvoran-offline" --version)" = "zelvoran-offline $version" ]

manual=$(MANWIDTH=100 man -l "$work/root/usr/share/man/man1/zelvoran-offline.1.gz" 2> "$work/man.err")
[ ! -s "$work/man.err" ] || { cat "$work/man.err"; exit 1; }
for heading in NAME SYNOPSIS OPTIONS 'WHAT IT REFUSES, AND WHY' 'EXIT STATUS' EXAMPLE; do
    grep -q "^$heading" <<< "$manual" || { echo "the manual page has no $heading"; exit 1; }
done
for option in --iftype --dry-run --list --help --version; do
    grep -q -- "$option" <<< "$manual" || { echo "the manual page lacks $option"; exit 1; }
done
echo "zelvoran-offline_${version}_amd64.deb: installs, runs and its manual page renders"
