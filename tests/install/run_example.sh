#!/usr/bin/env bash
# Runs one example script against its virtual keyboard, as the user guide tells a user to, and
# checks the outcome: the exit status, " Done." for a success, and a log file whose every
# annotation of the run is a success.
# Usage: run_example.sh KAVELWRITE EXAMPLES_DIR SCRIPT KEYBOARD STATUS
set -u
kavelwrite=$1 examples=$2 script=$3 keyboard=$4 expected=$5

fail() {
    echo "FAIL: $script on $keyboard: $*"
    [ -f "$work/stdout" ] && { echo "--- standard output"; tr '\r' '\n' <"$work/stdout" | grep -v 'Writing progress'; }
    [ -f "$work/stderr" ] && { echo "--- standard error"; cat "$work/stderr"; }
    exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -f "$examples/$script" ] || fail "no such script"
[ -f "$examples/$keyboard" ] || fail "no such keyboard"

# The script runs from a folder of its own so that its log file does not land in examples/.
cp "$examples/$script" "$work/$script"
status=0
(cd "$work" && KAVELHID_SIMULATION="$examples/$keyboard" KAVELHID_TRACE="$work/trace" \
    "$kavelwrite" "$script" --logfile >"$work/stdout" 2>"$work/stderr") || status=$?

[ "$status" = "$expected" ] || fail "exit status $status, expected $expected"
[ -s "$work/stderr" ] && fail "the library complained on standard error"
logs=("$work/$script"_t*)
[ ${#logs[@]} -eq 1 ] && [ -f "${logs[0]}" ] || fail "no log file ${script}_t<stamp>"
log=${logs[0]}

if [ "$expected" = 0 ]; then
    grep -qx ' Done\.' "$work/stdout" || fail "no line \" Done.\""
    grep -q 'SendCommand cmd=F1 dst=02' "$work/trace" || fail "the keyboard was not reset"
    grep -q '<DetectedDevice Id="t[0-9]*_device0">' "$log" || fail "no DetectedDevice report in the log file"
    if grep -n 'Not ok\|ERROR=\|PARSE_ERROR' "$log"; then fail "the log file records a failure"; fi
else
    grep -qx ' Done\.' "$work/stdout" && fail "\" Done.\" although the status is $expected"
fi
echo "PASS: $script on $keyboard: exit status $status"
