#!/bin/sh
# Passes when desktop-file-validate has nothing at all to say about the files, not even a hint
# (it exits 0 on those). Exits 77, which CTest reads as skipped, where it is not installed.
if ! command -v desktop-file-validate >/dev/null 2>&1; then
    echo "desktop-file-validate is not installed (Debian package desktop-file-utils)"
    exit 77
fi
output=$(desktop-file-validate "$@" 2>&1)
status=$?
if [ -n "$output" ]; then
    printf '%s\n' "$output"
    exit 1
fi
exit "$status"
