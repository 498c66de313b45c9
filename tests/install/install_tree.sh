#!/usr/bin/env bash
# `cmake --install` into a fresh prefix puts every file where the GNU layout says, the bundled
# library in a private folder of its own and nowhere else, and the manual pages and changelog
# compressed; both installed programs find the installed library by themselves (no
# LD_LIBRARY_PATH, nothing from the build tree); kavelwrite writes an installed example into its
# installed virtual keyboard and kxb reports the library's version; the schema of kxb scripts is
# what the installed kxb prints, and its backups name it.
# Usage: install_tree.sh CMAKE BUILD_DIR SOURCE_DIR BINDIR PRIVATE_LIBDIR MANDIR DATADIR DOCDIR
set -u
cmake=$1 build=$2 source_dir=$3 bindir=$4 private_libdir=$5 mandir=$6 datadir=$7 docdir=$8
source "$(dirname "$0")/common.sh"
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { echo "FAIL: cmake --install failed"; cat "$work/install.log"; exit 1; }

library=$prefix/$private_libdir/libkavelhidapi.so.1
for program in kavelwrite kxb; do
    [ -x "$prefix/$bindir/$program" ] || fail "no executable $bindir/$program"
done
[ -f "$library" ] || fail "no $private_libdir/libkavelhidapi.so.1"
[ -f "$prefix/$private_libdir/libkavelhidapi.so.1.0.0" ] || fail "no $private_libdir/libkavelhidapi.so.1.0.0"
elsewhere=$(find "$prefix" -name 'libkavelhidapi*' ! -path "$prefix/$private_libdir/*")
[ -z "$elsewhere" ] || fail "the library is installed outside $private_libdir: $elsewhere"
for file in "$datadir/bash-completion/completions/kavelwrite" "$datadir/bash-completion/completions/kxb" \
    "$docdir/guide.md" "$docdir/README.md" "$docdir/copyright"; do
    [ -f "$prefix/$file" ] || fail "no $file"
done
check_gzipped_docs "$prefix" "$mandir" "$docdir" "$source_dir"
for example in "$source_dir"/examples/*.kxb "$source_dir"/examples/*.xml; do
    [ -f "$prefix/$docdir/examples/$(basename "$example")" ] || fail "no $docdir/examples/$(basename "$example")"
done
leftovers=$(find "$prefix/$docdir/examples" -name '*.kxb_t*')
[ -z "$leftovers" ] || fail "log files installed as examples: $leftovers"

dynamic=$(readelf -d "$library" 2>&1)
grep -q 'SONAME.*\[libkavelhidapi\.so\.1\]' <<<"$dynamic" || fail "the library's SONAME is not libkavelhidapi.so.1"
for program in kavelwrite kxb; do
    dynamic=$(readelf -d "$prefix/$bindir/$program" 2>&1)
    grep -q 'NEEDED.*\[libkavelhidapi\.so\.1\]' <<<"$dynamic" || fail "$program does not ask for libkavelhidapi.so.1"
    grep -q 'R.*PATH.*\[\$ORIGIN/' <<<"$dynamic" || fail "the run path of $program is not relative to itself"
    grep -qF "$build" <<<"$dynamic" && fail "the installed $program still names the build tree: $(grep PATH <<<"$dynamic")"
    expect_library "$prefix/$bindir/$program" "$library" "the installed $program"
done

# The schema is what the installed kxb prints, and the installed kxb names it in its backups.
schema=$prefix/$datadir/xml/kavelwrite/kxb.xsd
[ -f "$schema" ] || fail "no $datadir/xml/kavelwrite/kxb.xsd"
env -u LD_LIBRARY_PATH "$prefix/$bindir/kxb" schema >"$work/kxb.xsd" || fail "the installed kxb schema failed"
cmp -s "$schema" "$work/kxb.xsd" || fail "the installed kxb.xsd is not what the installed kxb schema prints"
(cd "$work" && env -u LD_LIBRARY_PATH -u KAVELHID_TRACE -u KAVELHID_SIMULATION_SAVE \
    KAVELHID_SIMULATION="$prefix/$docdir/examples/writers-keyboard.xml" \
    "$prefix/$bindir/kxb" backup --output backup.kxb "$prefix/$docdir/examples/binmemory.kxb" >/dev/null 2>&1) ||
    fail "the installed kxb backup failed"
grep -qF "<?xml-model href=\"$(realpath "$schema")\"" "$work/backup.kxb" ||
    fail "the installed kxb's backup does not name $schema: $(head -2 "$work/backup.kxb")"

run_command_example "$prefix/$bindir/kavelwrite" "$prefix/$docdir/examples" "the installed kavelwrite"
run_kxb_version "$prefix/$bindir/kxb" "the installed kxb"
finish "installed under $prefix and ran from there"
