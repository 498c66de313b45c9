# Sourced by the install and documentation checks: failures are counted, reported with the last
# output of kavelwrite, and summed up at the end. A script that sets $work before sourcing keeps
# that folder; otherwise a scratch folder is made and removed on exit. $fail_prefix, when set,
# starts every failure line.
if [ -z "${work:-}" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
failures=0
fail() {
    echo "FAIL: ${fail_prefix:-}$*"
    failures=$((failures + 1))
}

# Ends the check: with failures, shows kavelwrite's last output and exits 1; otherwise PASS.
finish() {
    if [ "$failures" -ne 0 ]; then
        if [ -f "$work/stdout" ]; then
            echo "--- kavelwrite output"
            tr '\r' '\n' <"$work/stdout" | grep -v 'Writing progress'
        fi
        if [ -s "$work/stderr" ]; then
            echo "--- standard error"
            cat "$work/stderr"
        fi
        echo "$failures failure(s)"
        exit 1
    fi
    echo "PASS: $*"
}

# Runs an installed or unpacked kavelwrite on the example command.kxb against its keyboard, with
# no LD_LIBRARY_PATH, expecting " Done." and status 0. Usage: run_command_example PROGRAM
# EXAMPLES_DIR WHAT (WHAT names the program in failures).
run_command_example() {
    local program=$1 examples=$2 what=$3 status=0
    cp "$examples/command.kxb" "$work/"
    (cd "$work" && env -u LD_LIBRARY_PATH KAVELHID_SIMULATION="$examples/writers-keyboard.xml" \
        "$program" command.kxb >"$work/stdout" 2>&1) || status=$?
    [ "$status" = 0 ] || fail "$what ended with status $status"
    grep -qx ' Done\.' "$work/stdout" || fail "$what did not print \" Done.\""
}
