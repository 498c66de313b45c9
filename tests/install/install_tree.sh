#!/usr/bin/env bash
# `cmake --install` into a fresh prefix puts every file where the GNU layout says, the installed
# program finds the installed library by itself (no LD_LIBRARY_PATH, nothing from the build
# tree), and it writes an installed example into its installed virtual keyboard.
# Usage: install_tree.sh CMAKE BUILD_DIR SOURCE_DIR BINDIR LIBDIR MANDIR DATADIR DOCDIR
set -u
cmake=$1 build=$2 source_dir=$3 bindir=$4 libdir=$5 mandir=$6 datadir=$7 docdir=$8
source "$(dirname "$0")/common.sh"
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { echo "FAIL: cmake --install failed"; cat "$work/install.log"; exit 1; }

program=$prefix/$bindir/kavelwrite
library=$prefix/$libdir/libkavelhidapi.so.1
[ -x "$program" ] || fail "no executable $bindir/kavelwrite"
[ -f "$library" ] || fail "no $libdir/libkavelhidapi.so.1"
[ -f "$prefix/$libdir/libkavelhidapi.so.1.0.0" ] || fail "no $libdir/libkavelhidapi.so.1.0.0"
for file in "$mandir/man1/kavelwrite.1" "$mandir/man5/kavelhid-simulation.5" \
    "$datadir/bash-completion/completions/kavelwrite" "$docdir/guide.md" "$docdir/README.md"; do
    [ -f "$prefix/$file" ] || fail "no $file"
done
for example in "$source_dir"/examples/*.kxb "$source_dir"/examples/*.xml; do
    [ -f "$prefix/$docdir/examples/$(basename "$example")" ] || fail "no $docdir/examples/$(basename "$example")"
done
leftovers=$(find "$prefix/$docdir/examples" -name '*.kxb_t*')
[ -z "$leftovers" ] || fail "log files installed as examples: $leftovers"

dynamic=$(readelf -d "$library" 2>&1)
grep -q 'SONAME.*\[libkavelhidapi\.so\.1\]' <<<"$dynamic" || fail "the library's SONAME is not libkavelhidapi.so.1"
dynamic=$(readelf -d "$program" 2>&1)
grep -q 'NEEDED.*\[libkavelhidapi\.so\.1\]' <<<"$dynamic" || fail "the program does not ask for libkavelhidapi.so.1"
grep -q 'R.*PATH.*\[\$ORIGIN/' <<<"$dynamic" || fail "the program's run path is not relative to itself"
grep -qF "$build" <<<"$dynamic" && fail "the installed program still names the build tree: $(grep PATH <<<"$dynamic")"
resolved=$(env -u LD_LIBRARY_PATH ldd "$program" | awk '$1 == "libkavelhidapi.so.1" { print $3 }')
[ "$resolved" -ef "$library" ] || fail "the program loads libkavelhidapi.so.1 from '$resolved', not from $libdir"

run_command_example "$program" "$prefix/$docdir/examples" "the installed program"
finish "installed under $prefix and ran from there"
