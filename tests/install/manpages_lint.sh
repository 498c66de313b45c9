#!/usr/bin/env bash
# The manual pages pass mandoc's checks: no error, no warning, and no style message either, except
# that a page's cross-reference to another of them cannot be found before they are installed.
# Usage: manpages_lint.sh PAGE...
set -u
command -v mandoc >/dev/null || { echo "FAIL: mandoc is not installed (Debian package mandoc)"; exit 1; }
status=0
messages=$(mandoc -Tlint "$@" 2>&1) || status=$?
left=$(grep -v 'STYLE: referenced manual not found: Xr \(kavelwrite 1\|kxb 1\|kavelhid-simulation 5\|kavelwrite-history 5\)' <<<"$messages")
if [ -n "$left" ]; then
    echo "FAIL: mandoc -Tlint:"
    echo "$left"
    exit 1
fi
# mandoc's status says whether anything at warning level or above was found, whatever was printed.
if ! mandoc -Tlint -W warning "$@" >/dev/null 2>&1; then
    echo "FAIL: mandoc -Tlint -W warning exited with a failure (status $status of the full check)"
    exit 1
fi
echo "PASS: $# page(s) without warnings"
