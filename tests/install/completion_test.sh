#!/usr/bin/env bash
# The bash completion of a program offers the right words: for kavelwrite its options for an option
# word, *.kxb files and folders for the script, and nothing that kavelwrite would ignore; for kxb
# its verbs, each verb's options, *.kxb files for check, verify and backup, any file for log and for
# backup's --output. Each case types a
# command line in a folder of known files and compares the offered words. For kxb the verbs and
# options that the built program's usage names must all be offered.
# Usage: completion_test.sh COMPLETION_DIR kavelwrite
#        completion_test.sh COMPLETION_DIR kxb KXB_PROGRAM
set -u
completion_dir=$(realpath "$1") command=$2 program=${3:+$(realpath "$3")}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir -p scripts/deep "with space" folder.kxb
touch setup.kxb other.kxb notes.txt setup.kxb_t20261208011631 scripts/a.kxb scripts/b.xml \
    "with space/c.kxb" folder.kxb/d.kxb

# Only the command's own file is sourced, as bash-completion does when the command is typed.
# shellcheck source=/dev/null
source "$completion_dir/$command" || { echo "FAIL: $completion_dir/$command cannot be sourced"; exit 1; }
function=$(complete -p "$command" 2>/dev/null | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
[ -n "$function" ] || { echo "FAIL: $command has no completion after sourcing $completion_dir/$command"; exit 1; }

failures=0
# offered "LINE": prints the words offered for the line's last word (an empty last word when the
# line ends with a blank), one per line, sorted.
offered() {
    local line=$1
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    "$function" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort
}
# complete_line "LINE" "EXPECTED WORDS, one per line, sorted"
complete_line() {
    local line=$1 expected=$2 actual
    actual=$(offered "$line")
    if [ "$actual" != "$expected" ]; then
        echo "FAIL: completing \"$line\": offered"
        echo "${actual:-(nothing)}" | sed 's/^/    /'
        echo "  expected"
        echo "${expected:-(nothing)}" | sed 's/^/    /'
        failures=$((failures + 1))
    fi
}
words() { printf '%s\n' "$@" | LC_ALL=C sort; }

case $command in
kavelwrite)
    complete_line "kavelwrite -" "$(words --logfile --overlap-resets --record --verify)"
    complete_line "kavelwrite --l" "--logfile"
    complete_line "kavelwrite --logfile -" "$(words --overlap-resets --record --verify)"
    complete_line "kavelwrite setup.kxb --logfile -" "$(words --overlap-resets --record --verify)"
    complete_line "kavelwrite --overlap-resets --logfile --verify -" "--record"
    complete_line "kavelwrite --overlap-resets --logfile --verify --record run.rec -" ""
    complete_line "kavelwrite --x" ""
    complete_line "kavelwrite " "$(words folder.kxb other.kxb scripts setup.kxb 'with space')"
    complete_line "kavelwrite s" "$(words scripts setup.kxb)"
    complete_line "kavelwrite scripts/" "$(words scripts/a.kxb scripts/deep)"
    complete_line "kavelwrite --logfile o" "other.kxb"
    complete_line "kavelwrite folder.kxb/" "folder.kxb/d.kxb"
    complete_line "kavelwrite n" ""
    complete_line "kavelwrite --overlap-resets s" "$(words scripts setup.kxb)"
    complete_line "kavelwrite setup.kxb " "$(words --logfile --overlap-resets --record --verify)"
    complete_line "kavelwrite setup.kxb --logfile " "$(words --overlap-resets --record --verify)"
    complete_line "kavelwrite --logfile setup.kxb " "$(words --overlap-resets --record --verify)"
    complete_line "kavelwrite --v" "--verify"
    # The word after --record is the recording: any file, and not the script.
    complete_line "kavelwrite --record " "$(words folder.kxb notes.txt other.kxb scripts setup.kxb setup.kxb_t20261208011631 'with space')"
    complete_line "kavelwrite setup.kxb --record n" "notes.txt"
    complete_line "kavelwrite --record run.rec s" "$(words scripts setup.kxb)"
    complete_line "kavelwrite --record run.rec " "$(words folder.kxb other.kxb scripts setup.kxb 'with space')"
    complete_line "kavelwrite --record=run.rec setup.kxb " "$(words --logfile --overlap-resets --verify)"
    ;;
kxb)
    complete_line "kxb " "$(words backup check history log probe schema twin verify)"
    complete_line "kxb p" "probe"
    complete_line "kxb -" "$(words --help --version)"
    complete_line "kxb --help " ""
    complete_line "kxb --version " ""
    complete_line "kxb frob " ""
    complete_line "kxb check " "$(words folder.kxb other.kxb scripts setup.kxb 'with space')"
    complete_line "kxb check scripts/" "$(words scripts/a.kxb scripts/deep)"
    complete_line "kxb check -" "$(words --help --json)"
    complete_line "kxb check setup.kxb o" "other.kxb"
    complete_line "kxb check setup.kxb -" "--json"
    complete_line "kxb check --json -" ""
    complete_line "kxb check --json s" "$(words scripts setup.kxb)"
    complete_line "kxb check --help " ""
    complete_line "kxb probe " "$(words --device-element --help --json --record --simulation)"
    complete_line "kxb probe --s" "--simulation"
    complete_line "kxb probe --json " "--record"
    complete_line "kxb probe --device-element -" "--record"
    complete_line "kxb probe --record " "$(words folder.kxb notes.txt other.kxb scripts setup.kxb setup.kxb_t20261208011631 'with space')"
    complete_line "kxb probe --record probe.rec " "$(words --device-element --json --simulation)"
    complete_line "kxb probe --record=probe.rec --json " ""
    complete_line "kxb log " "$(words folder.kxb notes.txt other.kxb scripts setup.kxb setup.kxb_t20261208011631 'with space')"
    complete_line "kxb log setup.kxb_" "setup.kxb_t20261208011631"
    complete_line "kxb log -" "$(words --help --json)"
    complete_line "kxb log setup.kxb_t20261208011631 " "--json"
    complete_line "kxb log --json setup.kxb_t20261208011631 " ""
    complete_line "kxb log --json n" "notes.txt"
    complete_line "kxb verify " "$(words folder.kxb other.kxb scripts setup.kxb 'with space')"
    complete_line "kxb verify --json -" "$(words --record --send-pointer-commands)"
    complete_line "kxb verify setup.kxb " "$(words --json --record --send-pointer-commands)"
    complete_line "kxb verify --record n" "notes.txt"
    complete_line "kxb verify --record run.rec s" "$(words scripts setup.kxb)"
    complete_line "kxb verify --record run.rec setup.kxb " "$(words --json --send-pointer-commands)"
    complete_line "kxb backup --output n" "notes.txt"
    complete_line "kxb backup --keyboard " ""
    complete_line "kxb backup --keyboard 1 -" "$(words --output --record --send-pointer-commands)"
    complete_line "kxb backup --output out.kxb s" "$(words scripts setup.kxb)"
    complete_line "kxb backup --record=run.rec -" "$(words --keyboard --output --send-pointer-commands)"
    complete_line "kxb twin " "$(words folder.kxb notes.txt other.kxb scripts setup.kxb setup.kxb_t20261208011631 'with space')"
    complete_line "kxb twin n" "notes.txt"
    complete_line "kxb schema " "--help"
    complete_line "kxb schema --help " ""
    complete_line "kxb twin -" "--help"
    complete_line "kxb twin --help " ""
    complete_line "kxb twin notes.txt " ""
    complete_line "kxb twin notes.txt -" ""
    complete_line "kxb history " "$(words folder.kxb notes.txt other.kxb scripts setup.kxb setup.kxb_t20261208011631 'with space')"
    complete_line "kxb history -" "$(words --create --csv --failed --help --json --limit --runs --script --since --station --summary --until)"
    complete_line "kxb history --summary -" "$(words --csv --failed --json --limit --script --since --station --until)"
    complete_line "kxb history --json --runs --failed -" "$(words --limit --script --since --station --until)"
    complete_line "kxb history --since " ""
    complete_line "kxb history --limit 5 --station " ""
    complete_line "kxb history --script " "$(words folder.kxb other.kxb scripts setup.kxb 'with space')"
    complete_line "kxb history --script setup.kxb n" "notes.txt"
    complete_line "kxb history --create " "$(words folder.kxb notes.txt other.kxb scripts setup.kxb setup.kxb_t20261208011631 'with space')"
    complete_line "kxb history --create notes.txt " ""
    complete_line "kxb history --create -" ""
    complete_line "kxb history notes.txt --c" "--csv"

    # Whatever the program's usage names must be offered where it applies: every verb, and every
    # option of a verb as its first word.
    usage=$("$program" --help 2>&1)
    verbs=$(awk '/^Verbs:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { on = 0 }' <<<"$usage" | LC_ALL=C sort)
    [ -n "$verbs" ] || { echo "FAIL: kxb --help names no verb:"; echo "$usage"; failures=$((failures + 1)); }
    complete_line "kxb " "$verbs"
    for verb in $verbs; do
        # The options of its usage lines (up to the first empty line) and the first option of each
        # line of its option table; the prose may name other programs' options.
        options=$("$program" "$verb" --help 2>&1 |
            sed -n '1,/^$/p; s/^ \{1,\}\(-[a-zA-Z], \)\{0,1\}\(--[a-z][a-z-]*\).*/\2/p' |
            grep -o -- '--[a-z][a-z-]*' | LC_ALL=C sort -u)
        offered_options=$(offered "kxb $verb -")
        for option in $options; do
            grep -qxF -- "$option" <<<"$offered_options" ||
                { echo "FAIL: kxb $verb --help names $option, which is not offered"; failures=$((failures + 1)); }
        done
    done
    ;;
*)
    echo "FAIL: no cases for $command"
    exit 1
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "PASS: every completion of $command as expected"
