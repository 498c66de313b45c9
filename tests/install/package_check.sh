#!/usr/bin/env bash
# The Debian package is named kavelwrite_<version>_<architecture>.deb, its dependencies were
# computed from its binaries, it holds every installed file under /usr, and, unpacked anywhere
# with dpkg-deb -x, its kavelwrite writes an example into the example's virtual keyboard.
# Usage: package_check.sh OUT_DIR VERSION LIBDIR DOCDIR
set -u
out=$1 version=$2 libdir=$3 docdir=$4
source "$(dirname "$0")/common.sh"

deb=$out/kavelwrite_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "FAIL: no $(basename "$deb") in $out: $(ls "$out")"; exit 1; }

[ "$(dpkg-deb -f "$deb" Package)" = kavelwrite ] || fail "the package is not named kavelwrite"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
# Only dpkg-shlibdeps, reading the binaries, would name these: the program links pugixml and the
# C++ runtime.
for package in libc6 libstdc++6 libpugixml; do
    grep -q "\(^\|, \)$package" <<<"$depends" || fail "Depends lacks $package: '$depends'"
done
grep -q 'libkavelhidapi' <<<"$depends" && fail "Depends names the library that the package itself ships: '$depends'"

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in ./usr/bin/kavelwrite "./usr/$libdir/libkavelhidapi.so.1" "./usr/$libdir/libkavelhidapi.so.1.0.0" \
    ./usr/share/man/man1/kavelwrite.1 ./usr/share/man/man5/kavelhid-simulation.5 \
    ./usr/share/bash-completion/completions/kavelwrite "./usr/$docdir/guide.md" \
    "./usr/$docdir/examples/command.kxb" "./usr/$docdir/examples/writers-keyboard.xml"; do
    grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
done

dpkg-deb -x "$deb" "$work/root" || { echo "FAIL: dpkg-deb -x failed"; exit 1; }
program=$work/root/usr/bin/kavelwrite
examples=$work/root/usr/$docdir/examples
resolved=$(env -u LD_LIBRARY_PATH ldd "$program" | awk '$1 == "libkavelhidapi.so.1" { print $3 }')
[ "$resolved" -ef "$work/root/usr/$libdir/libkavelhidapi.so.1" ] ||
    fail "the unpacked program loads libkavelhidapi.so.1 from '$resolved', not from the package"
run_command_example "$program" "$examples" "the unpacked program"
finish "$(basename "$deb"), Depends: $depends"
