#!/usr/bin/env bash
# Debian's own checker finds no error and no warning in the package; its notes of lower rank are
# shown, not counted. `make package` runs this check too.
# Usage: package_lint.sh DEB_OR_FOLDER...  (a folder: every .deb in it)
set -u
command -v lintian >/dev/null ||
    { echo "FAIL: lintian is not installed (Debian package lintian; make deps installs it)"; exit 1; }
debs=()
for path in "$@"; do
    if [ -d "$path" ]; then
        debs+=("$path"/*.deb)
    else
        debs+=("$path")
    fi
done
for deb in "${debs[@]}"; do
    [ -f "$deb" ] || { echo "FAIL: no package $deb"; exit 1; }
done
status=0
# Run as root, lintian says on standard error that it would rather not; that says nothing of the
# package.
lintian --fail-on error,warning --display-info --pedantic "${debs[@]}" 2> >(grep -v '^running with root privileges' >&2) ||
    status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: lintian found errors or warnings (status $status)"
    exit 1
fi
echo "PASS: lintian: no error and no warning in ${debs[*]##*/}"
