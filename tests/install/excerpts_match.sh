#!/usr/bin/env bash
# The excerpts of example files that the documentation shows are still what the files hold. An
# excerpt is the code block right after "From `examples/NAME`" in Markdown, or the literal display
# right after ".Pa examples/NAME" in a manual page; every line of it but "..." elisions must be a
# line of examples/NAME, up to indentation.
# Usage: excerpts_match.sh EXAMPLES_DIR DOCUMENT...
set -u
examples=$1
shift
failures=0
checked=0
for document in "$@"; do
    # Prints "NAME<TAB>LINE" for every line of every excerpt.
    excerpts=$(awk '
        function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
        /^```/ { if (inblock) { inblock = 0; name = ""; next } inblock = 1; current = (since <= 2) ? name : ""; next }
        /^\.Bd -literal/ { inblock = 1; current = (since <= 10) ? name : ""; next }
        /^\.Ed/ { inblock = 0; name = ""; next }
        inblock { if (current != "" && index($0, "...") == 0 && trim($0) != "") print current "\t" trim($0); next }
        match($0, /From `examples\/[A-Za-z0-9._-]+`/) { name = substr($0, RSTART + 15, RLENGTH - 16); since = 0; next }
        match($0, /^\.Pa examples\/[A-Za-z0-9._-]+/) { name = substr($0, RSTART + 13, RLENGTH - 13); since = 0; next }
        { since++ }
    ' "$document")
    while IFS=$'\t' read -r name line; do
        [ -n "$name" ] || continue
        checked=$((checked + 1))
        if [ ! -f "$examples/$name" ]; then
            echo "FAIL: $document shows an excerpt of examples/$name, which does not exist"
            failures=$((failures + 1))
        elif ! sed 's/^[[:space:]]*//; s/[[:space:]]*$//' "$examples/$name" | grep -qxF -- "$line"; then
            echo "FAIL: $document shows, from examples/$name, a line the file does not hold: $line"
            failures=$((failures + 1))
        fi
    done <<<"$excerpts"
done
[ "$checked" -gt 0 ] || { echo "FAIL: no excerpt found to check"; exit 1; }
if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "PASS: $checked excerpt lines match their example files"
