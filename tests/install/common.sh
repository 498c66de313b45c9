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

# Runs an installed or unpacked kxb with --version, with no LD_LIBRARY_PATH: it starts only when
# the loader finds the library, and then prints the library's version. Usage: run_kxb_version
# PROGRAM WHAT
run_kxb_version() {
    local program=$1 what=$2 status=0 output
    output=$(env -u LD_LIBRARY_PATH "$program" --version 2>&1) || status=$?
    [ "$status" = 0 ] || fail "$what --version ended with status $status: $output"
    grep -qE '^libkavelhidapi [0-9]+\.[0-9]+\.[0-9]+$' <<<"$output" ||
        fail "$what --version printed no library version: $output"
}

# Fails unless PROGRAM, with no LD_LIBRARY_PATH, loads libkavelhidapi.so.1 from LIBRARY.
# Usage: expect_library PROGRAM LIBRARY WHAT
expect_library() {
    local program=$1 library=$2 what=$3 resolved
    resolved=$(env -u LD_LIBRARY_PATH ldd "$program" | awk '$1 == "libkavelhidapi.so.1" { print $3 }')
    [ "$resolved" -ef "$library" ] || fail "$what loads libkavelhidapi.so.1 from '$resolved', not from $library"
}

# The manual pages and the changelog are installed under ROOT compressed, and only so, each the
# source file once uncompressed. Usage: check_gzipped_docs ROOT MANDIR DOCDIR SOURCE_DIR
check_gzipped_docs() {
    local root=$1 mandir=$2 docdir=$3 source_dir=$4 installed source
    for installed in "$mandir/man1/kavelwrite.1" "$mandir/man1/kxb.1" "$mandir/man5/kavelhid-simulation.5" \
        "$mandir/man5/kavelwrite-history.5" "$docdir/changelog"; do
        case $installed in
        */changelog) source=$source_dir/packaging/changelog ;;
        *) source=$source_dir/docs/$(basename "$installed") ;;
        esac
        [ -e "$root/$installed" ] && fail "$installed is installed uncompressed"
        if [ ! -f "$root/$installed.gz" ]; then
            fail "no $installed.gz"
        elif ! gzip -dc "$root/$installed.gz" | cmp -s - "$source"; then
            fail "$installed.gz is not $source compressed"
        fi
    done
}
