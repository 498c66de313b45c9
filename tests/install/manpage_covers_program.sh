#!/usr/bin/env bash
# kavelwrite(1) documents what the program can do to its user: every exit status that the program
# defines, every console message it prints, and every environment variable of the bundled HID
# library. All three lists are taken from the source, so a new status, message or variable fails
# this test until the manual page names it.
# Usage: manpage_covers_program.sh SOURCE_DIR PAGE
set -u
source_dir=$1 page=$2
source "$(dirname "$0")/common.sh"

# The page as a reader sees it, one paragraph per line so that no message is broken by a wrap.
text=$(mandoc -Tascii -O width=500 "$page" | sed 's/.\x08//g')
[ -n "$text" ] || { echo "FAIL: mandoc rendered nothing from $page"; exit 1; }
section() { awk -v name="$1" '/^[A-Z]/ { on = ($0 == name) } on' <<<"$text"; }

statuses=$(sed -n 's/^const int ERR_ERROR_[A-Z_]* = \([0-9]*\);.*/\1/p' "$source_dir/src/driver/driver.h")
[ "$(wc -w <<<"$statuses")" -ge 9 ] || fail "found only $(wc -w <<<"$statuses") exit codes in driver.h"
exit_section=$(section "EXIT STATUS")
for status in 0 $statuses; do
    grep -qE "^ +$status( |$)" <<<"$exit_section" || fail "EXIT STATUS does not list $status"
done

# Every literal of the driver's console output that holds words (a blank between letters), without
# the blanks around it and a trailing "(".
messages=$(cat "$source_dir"/src/kavelwrite/*.cpp "$source_dir/src/driver/outcomes.cpp" | grep -o '"[^"]*"' | sed 's/^"//; s/"$//' |
    sed 's/^ *//; s/ *( *$//; s/ *$//' | grep -E '[A-Za-z] [A-Za-z(]|^[A-Z][a-z]+\.$' | sort -u)
[ "$(wc -l <<<"$messages")" -ge 12 ] || fail "found only $(wc -l <<<"$messages") console messages in src/kavelwrite"
while IFS= read -r message; do
    grep -qF -- "$message" <<<"$text" || fail "the page does not show the console message \"$message\""
done <<<"$messages"

variables=$(grep -ho 'EnvironmentValue("[A-Z_]*")' "$source_dir"/libkavelhidapi/*.cpp | sed 's/.*("//; s/")//' | sort -u)
[ "$(wc -w <<<"$variables")" -ge 3 ] || fail "found only $(wc -w <<<"$variables") environment variables in libkavelhidapi"
environment_section=$(section "ENVIRONMENT")
for variable in $variables; do
    grep -qE "^ +$variable\$" <<<"$environment_section" || fail "ENVIRONMENT does not describe $variable"
done

finish "$(wc -w <<<"$statuses") exit codes and 0, $(wc -l <<<"$messages") messages, $(wc -w <<<"$variables") variables documented"
