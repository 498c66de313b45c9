#!/usr/bin/env bash
# The Debian package is named kavelwrite_<version>_<architecture>.deb, its dependencies were
# computed from its binaries, its changelog is of its version, it holds every installed file under
# /usr, the bundled library in its private folder only and no maintainer script, and, unpacked
# anywhere with dpkg-deb -x, both programs load the package's library: kavelwrite writes an
# example into the example's virtual keyboard and kxb reports the library's version.
# Usage: package_check.sh OUT_DIR VERSION PRIVATE_LIBDIR MANDIR DOCDIR SOURCE_DIR
set -u
out=$1 version=$2 private_libdir=$3 mandir=$4 docdir=$5 source_dir=$6
source "$(dirname "$0")/common.sh"

deb=$out/kavelwrite_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "FAIL: no $(basename "$deb") in $out: $(ls "$out")"; exit 1; }

[ "$(dpkg-deb -f "$deb" Package)" = kavelwrite ] || fail "the package is not named kavelwrite"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
# Only dpkg-shlibdeps, reading the binaries, would name these: the programs link pugixml and the
# C++ runtime.
for package in libc6 libstdc++6 libpugixml; do
    grep -q "\(^\|, \)$package" <<<"$depends" || fail "Depends lacks $package: '$depends'"
done
grep -q 'libkavelhidapi' <<<"$depends" && fail "Depends names the library that the package itself ships: '$depends'"
# A private library needs neither a shlibs file nor ldconfig.
scripts=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E '/(preinst|postinst|prerm|postrm|shlibs|triggers)$')
[ -z "$scripts" ] || fail "the package has control files for a public library: $scripts"

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in ./usr/bin/kavelwrite ./usr/bin/kxb "./usr/$private_libdir/libkavelhidapi.so.1" \
    "./usr/$private_libdir/libkavelhidapi.so.1.0.0" ./usr/share/bash-completion/completions/kavelwrite \
    ./usr/share/bash-completion/completions/kxb "./usr/$docdir/guide.md" "./usr/$docdir/copyright" \
    "./usr/$docdir/examples/command.kxb" "./usr/$docdir/examples/writers-keyboard.xml" \
    ./usr/share/xml/kavelwrite/kxb.xsd; do
    grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
done
elsewhere=$(grep 'libkavelhidapi' <<<"$contents" | grep -vF "./usr/$private_libdir/")
[ -z "$elsewhere" ] || fail "the package has the library outside $private_libdir: $elsewhere"

dpkg-deb -x "$deb" "$work/root" || { echo "FAIL: dpkg-deb -x failed"; exit 1; }
check_gzipped_docs "$work/root/usr" "$mandir" "$docdir" "$source_dir"
gzip -dc "$work/root/usr/$docdir/changelog.gz" >"$work/changelog" 2>/dev/null
changelog_version=$(dpkg-parsechangelog -l "$work/changelog" -S Version 2>&1)
[ "$changelog_version" = "$version" ] ||
    fail "the changelog's latest entry is '$changelog_version', not the package's version $version"

library=$work/root/usr/$private_libdir/libkavelhidapi.so.1
expect_library "$work/root/usr/bin/kavelwrite" "$library" "the unpacked kavelwrite"
expect_library "$work/root/usr/bin/kxb" "$library" "the unpacked kxb"
run_command_example "$work/root/usr/bin/kavelwrite" "$work/root/usr/$docdir/examples" "the unpacked kavelwrite"
run_kxb_version "$work/root/usr/bin/kxb" "the unpacked kxb"
finish "$(basename "$deb"), Depends: $depends"
