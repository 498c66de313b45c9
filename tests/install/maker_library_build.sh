#!/usr/bin/env bash
# Building against the keyboard maker's own library: a folder holding kavelhidapi.h and
# libkavelhidapi.so, named by KAVELWRITE_HIDAPI_DIR. The maker's library is played here by a copy
# of the stand-in. The build must compile both programs against that folder's header, link them
# to that folder's library, build no stand-in and no test that needs one, and the programs must
# run with the library from that folder, built and installed.
# Usage: maker_library_build.sh CMAKE SOURCE_DIR WORK_DIR STANDIN_LIBRARY BUILD_TYPE SANITIZE CXX
set -u
cmake=$1 source_dir=$2 work=$3 standin=$4 build_type=$5 sanitize=$6 cxx=$7
source "$(dirname "$0")/common.sh"

rm -rf "$work"
maker=$work/maker
build=$work/build
mkdir -p "$maker" "$work/header-only"
cp "$source_dir/src/hid/kavelhidapi.h" "$maker/"
cp "$standin" "$maker/libkavelhidapi.so"
# The loader asks for the library by its SONAME, as a maker's installation provides it.
ln -s libkavelhidapi.so "$maker/libkavelhidapi.so.1"
cp "$source_dir/src/hid/kavelhidapi.h" "$work/header-only/"

configure() {
    "$cmake" -S "$source_dir" -B "$1" -DKAVELWRITE_HIDAPI_DIR="$2" -DCMAKE_BUILD_TYPE="$build_type" \
        -DKAVELWRITE_SANITIZE="$sanitize" -DCMAKE_CXX_COMPILER="$cxx" -DKAVELWRITE_BUILD_TESTS=ON
}

# A folder without the library is refused when configuring, with the reason.
if configure "$work/refused" "$work/header-only" >"$work/refused.log" 2>&1; then
    fail "configuring with a folder that holds no libkavelhidapi.so succeeded"
elif ! grep -q 'no libkavelhidapi.so in' "$work/refused.log"; then
    fail "configuring with a folder without the library failed without naming it:
$(tail -n 5 "$work/refused.log")"
fi

if ! configure "$build" "$maker" >"$work/configure.log" 2>&1; then
    echo "FAIL: configuring against $maker failed"
    cat "$work/configure.log"
    exit 1
fi
if ! "$cmake" --build "$build" -j 2 >"$work/build.log" 2>&1; then
    echo "FAIL: building against $maker failed"
    tail -n 40 "$work/build.log"
    exit 1
fi

[ -x "$build/kavelwrite" ] || fail "no kavelwrite was built"
[ -x "$build/kxb" ] || fail "no kxb was built"
built=$(find "$build" -name 'libkavelhidapi.so*')
[ -z "$built" ] || fail "the stand-in was built: $built"
"$cmake" --build "$build" --target kavelhidapi >/dev/null 2>&1 && fail "the build has a stand-in target kavelhidapi"
[ -e "$build/tests" ] && fail "tests that need the stand-in were configured"

# The compiler's dependency files name every header read: the maker's, never the project's own.
depfiles=$(find "$build/CMakeFiles" -name '*.o.d')
[ -n "$depfiles" ] || fail "no dependency files to tell which header was compiled"
# shellcheck disable=SC2086
grep -q "$maker/kavelhidapi.h" $depfiles || fail "no source was compiled against $maker/kavelhidapi.h"
# shellcheck disable=SC2086
grep -l "$source_dir/src/hid/kavelhidapi.h" $depfiles && fail "sources were compiled against the project's own header"

for program in kavelwrite kxb; do
    dynamic=$(readelf -d "$build/$program" 2>&1)
    grep -q 'NEEDED.*\[libkavelhidapi\.so\.1\]' <<<"$dynamic" || fail "$program does not ask for the library by its SONAME"
    expect_library "$build/$program" "$maker/libkavelhidapi.so.1" "$program"
done

run_command_example "$build/kavelwrite" "$source_dir/examples" "kavelwrite"
run_kxb_version "$build/kxb" "kxb"

# The recorder is the program's own: built against the maker's library, it records every call.
(cd "$work" && env -u LD_LIBRARY_PATH KAVELHID_SIMULATION="$source_dir/examples/writers-keyboard.xml" \
    "$build/kavelwrite" command.kxb --record "$work/maker.rec" >"$work/record.stdout" 2>&1) ||
    fail "kavelwrite --record against the maker's library failed: $(tail -n 3 "$work/record.stdout")"
for line in '^0 LibraryVersion [0-9.]* -> 0$' '^[0-9]* kb0 SendCommand cmd=F7 dst=02 data=\[\] -> 0 answer=' \
    '^[0-9]* kb0 SendCommand cmd=F1 dst=02 data=\[\] -> 0$' '^[0-9]* Release$' '^# ended: exit status 0$'; do
    grep -q "$line" "$work/maker.rec" 2>/dev/null || fail "the recording against the maker's library lacks $line"
done

# Installed, the program keeps finding the maker's library, and the library is not copied.
"$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || fail "cmake --install failed"
installed=$(find "$work/prefix" -name 'libkavelhidapi*')
[ -z "$installed" ] || fail "the maker's library was installed: $installed"
for program in kavelwrite kxb; do
    expect_library "$work/prefix/bin/$program" "$maker/libkavelhidapi.so.1" "the installed $program"
done
run_kxb_version "$work/prefix/bin/kxb" "the installed kxb"

[ "$failures" -ne 0 ] || rm -rf "$work"
finish "built against the header and library in a folder of their own"
