#!/usr/bin/env bash
# Builds the Debian package from the build tree with CPack, into a folder of its own, as the
# `package` target does. The package tests that follow read it from there.
# Usage: package_build.sh CPACK BUILD_DIR OUT_DIR
set -u
cpack=$1 build=$2 out=$3
for tool in dpkg-shlibdeps file; do
    command -v "$tool" >/dev/null ||
        { echo "FAIL: $tool is missing (Debian packages dpkg-dev and file; make deps installs them)"; exit 1; }
done
rm -rf "$out"
mkdir -p "$out"
if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    echo "FAIL: cpack failed"
    cat "$out/cpack.log"
    exit 1
fi
ls "$out"/*.deb >/dev/null 2>&1 || { echo "FAIL: cpack made no .deb"; cat "$out/cpack.log"; exit 1; }
echo "PASS: built $(basename "$out"/*.deb)"
