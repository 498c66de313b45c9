#!/usr/bin/env bash
# Keeps the examples, their keyboards and the documentation together: every script under
# examples/ is paired with a virtual keyboard in the pairing list (so that it is run), every file
# the list names exists, and every examples/ file that the documentation names exists.
# Usage: examples_paired.sh EXAMPLES_DIR PAIRS_FILE DOCUMENT...
set -u
examples=$1 pairs=$2
shift 2
source "$(dirname "$0")/common.sh"

listed=$(grep -v '^[[:space:]]*\(#\|$\)' "$pairs" | awk '{print $1}')
for path in "$examples"/*.kxb; do
    [ -e "$path" ] || continue
    name=$(basename "$path")
    if ! grep -qxF "$name" <<<"$listed"; then
        fail "examples/$name has no virtual keyboard: add a line \"$name <keyboard>.xml 0\" to $pairs"
    fi
done

while read -r script keyboard status extra; do
    case "$script" in '' | \#*) continue ;; esac
    [ -z "${extra:-}" ] || fail "$pairs: more than three columns in the line for $script"
    [[ ${status:-} =~ ^[0-9]+$ ]] || fail "$pairs: the line for $script has no exit status"
    [ -f "$examples/$script" ] || fail "$pairs names examples/$script, which does not exist"
    [ -f "$examples/${keyboard:-}" ] || fail "$pairs names examples/${keyboard:-} for $script, which does not exist"
done <"$pairs"

for document in "$@"; do
    for name in $(grep -o 'examples/[A-Za-z0-9._-]*\.\(kxb\|xml\)' "$document" | sort -u); do
        [ -f "$examples/${name#examples/}" ] || fail "$document names $name, which does not exist"
    done
done

finish "$(wc -l <<<"$listed") scripts paired; every example the documents name exists"
