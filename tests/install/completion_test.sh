#!/usr/bin/env bash
# The bash completion offers --logfile for an option word, *.kxb files and folders for the script,
# and nothing that kavelwrite would ignore. Each case types a command line in a folder of known
# files and compares the offered words.
# Usage: completion_test.sh COMPLETION_FILE
set -u
completion=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir -p scripts/deep "with space" folder.kxb
touch setup.kxb other.kxb notes.txt setup.kxb_t20261208011631 scripts/a.kxb scripts/b.xml \
    "with space/c.kxb" folder.kxb/d.kxb

# shellcheck source=/dev/null
source "$completion" || { echo "FAIL: $completion cannot be sourced"; exit 1; }
[[ $(complete -p kavelwrite 2>/dev/null) == *"-F _kavelwrite"* ]] ||
    { echo "FAIL: kavelwrite has no completion after sourcing $completion"; exit 1; }

failures=0
# complete_line "LINE" "EXPECTED WORDS, one per line, sorted": the line's last word is completed
# (an empty last word when the line ends with a blank).
complete_line() {
    local line=$1 expected=$2 actual
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _kavelwrite 2>/dev/null
    actual=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort)
    if [ "$actual" != "$expected" ]; then
        echo "FAIL: completing \"$line\": offered"
        echo "${actual:-(nothing)}" | sed 's/^/    /'
        echo "  expected"
        echo "${expected:-(nothing)}" | sed 's/^/    /'
        failures=$((failures + 1))
    fi
}

complete_line "kavelwrite -" "--logfile"
complete_line "kavelwrite --l" "--logfile"
complete_line "kavelwrite --logfile -" ""
complete_line "kavelwrite setup.kxb --logfile -" ""
complete_line "kavelwrite --x" ""
complete_line "kavelwrite " "$(printf '%s\n' folder.kxb other.kxb scripts setup.kxb 'with space' | LC_ALL=C sort)"
complete_line "kavelwrite s" "$(printf '%s\n' scripts setup.kxb)"
complete_line "kavelwrite scripts/" "$(printf '%s\n' scripts/a.kxb scripts/deep)"
complete_line "kavelwrite --logfile o" "other.kxb"
complete_line "kavelwrite folder.kxb/" "folder.kxb/d.kxb"
complete_line "kavelwrite n" ""
complete_line "kavelwrite setup.kxb " "--logfile"
complete_line "kavelwrite setup.kxb --logfile " ""
complete_line "kavelwrite --logfile setup.kxb " ""

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "PASS: every completion as expected"
