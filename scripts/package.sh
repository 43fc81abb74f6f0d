#!/usr/bin/env bash
# Builds the packages twice, from scratch, in two build folders, and checks
# what they deliver:
#  - both builds give the same bytes: the Linux program, both Windows
#    programs, the .deb and the .zip (times come from SOURCE_DATE_EPOCH, by
#    default the last commit's time);
#  - lintian accepts the .deb, with no error or warning;
#  - the .deb, unpacked into a scratch root: the program runs from there, its
#    manual is there and renders, the copyright file and changelog are there,
#    nothing else is, and its dependencies can be met on this system;
#  - the .zip holds the 32-bit Windows program in x86/, the 64-bit one in
#    x64/, the README and the licence; each program is checked to be what its
#    folder says, a console program without debugging information that needs
#    no DLL but Windows' own, with one application manifest (run as invoked,
#    the Windows versions it knows) and a version resource.
# The builds are in build/package/a and build/package/b (without the tests);
# the checked packages are copied to build/packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 dpkg-dev man-db groff-base lintian unzip git \
    icoutils
require_command cmake cmake
require_command g++ g++
require_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686
require_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
require_command dpkg-shlibdeps dpkg-dev
require_command lintian lintian
require_command unzip unzip
require_command wrestool icoutils

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
        { echo "ERROR: not a git checkout: set SOURCE_DATE_EPOCH to the sources' date" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The maintainer that the packages name, when given (else the placeholder).
options=(-DBUILD_TESTING=OFF)
[ -n "${EMSGRAFT_MAINTAINER:-}" ] && options+=("-DEMSGRAFT_MAINTAINER=$EMSGRAFT_MAINTAINER")

# build FOLDER: the three programs and the packages, from scratch, tests left
# out. The 32-bit Windows build makes the .zip, with the 64-bit build's
# program in it.
build() {
    rm -rf "$1"
    cmake --preset linux -B "$1/linux" "${options[@]}" >/dev/null
    cmake --build "$1/linux" -j2 >/dev/null
    (cd "$1/linux" && cpack >/dev/null)
    cmake --preset windows64 -B "$1/windows64" "${options[@]}" >/dev/null
    cmake --build "$1/windows64" -j2 >/dev/null
    cmake --preset windows -B "$1/windows" "${options[@]}" -DEMSGRAFT_PACKAGE_WINDOWS64_BUILD="$PWD/$1/windows64" >/dev/null
    cmake --build "$1/windows" -j2 >/dev/null
    (cd "$1/windows" && cpack >/dev/null)
}
build build/package/a
build build/package/b

# --- the same bytes from both builds
for file in linux/emsgraft windows/emsgraft.exe windows64/emsgraft.exe linux/packages/emsgraft_*.deb \
    windows/packages/emsgraft-*.zip; do
    a=(build/package/a/$file)
    b=build/package/b/${a[0]#build/package/a/}
    if [ ! -f "${a[0]}" ]; then
        fail "build/package/a/$file was not built"
    elif ! cmp -s "${a[0]}" "$b"; then
        fail "two builds of the same sources differ: ${a[0]} and $b"
    fi
done
[ $failures -eq 0 ] && echo "both builds gave the same programs, .deb and .zip"

# --- Linux: the .deb
debs=(build/package/a/linux/packages/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, found: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}

[ "$(dpkg-deb -f "$deb" Package)" = emsgraft ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no dependency on the C library: $(dpkg-deb -f "$deb" Depends)"
# A simulated install resolves the dependencies against this Debian system.
apt-get install --simulate --no-install-recommends "./$deb" 2>&1 | grep -q '^Inst emsgraft' ||
    fail "apt cannot install $deb: $(apt-get install --simulate "./$deb" 2>&1 | tail -3)"
# What a distribution asks of a package: lintian's errors and warnings fail.
lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1 ||
    fail "lintian on $deb: $(grep -v 'running with root privileges' "$work/lintian.txt")"

root=$work/root
dpkg -x "$deb" "$root"
files=$(cd "$root" && find . -type f | sort | tr '\n' ' ')
expected="./usr/bin/emsgraft ./usr/share/doc/emsgraft/changelog.gz ./usr/share/doc/emsgraft/copyright"
expected+=" ./usr/share/man/man1/emsgraft.1.gz "
[ "$files" = "$expected" ] || fail "files in the package: $files"
readelf -S "$root/usr/bin/emsgraft" | grep -qE '\.symtab|\.debug_' &&
    fail "the packaged program carries symbols or debugging information"
grep -q "Permission is hereby granted" "$root/usr/share/doc/emsgraft/copyright" || fail "copyright file lacks the licence"

program=$root/usr/bin/emsgraft
cp examples/mapisvc.inf "$work/mapisvc.inf"
status=0
output=$("$program" "$work/mapisvc.inf") || status=$?
[ "$status" -eq 0 ] && [ "$output" = "Adding MSEMS service information to $work/mapisvc.inf...Done" ] ||
    fail "packaged program on the example file: status $status, output: $output"
status=0
output=$("$program" "$work/mapisvc.inf") || status=$?
[ "$status" -eq 1 ] && [ "$output" = "MSEMS service information already exists in $work/mapisvc.inf" ] ||
    fail "packaged program on a patched file: status $status, output: $output"

manual=$root/usr/share/man/man1/emsgraft.1.gz
if MANWIDTH=80 LC_ALL=C.UTF-8 MANPAGER=cat man --warnings -l "$manual" >"$work/manual.txt" 2>"$work/warnings.txt"; then
    [ -s "$work/warnings.txt" ] && fail "manual warnings: $(cat "$work/warnings.txt")"
    grep -q '^NAME' "$work/manual.txt" || fail "manual renders without a NAME section"
else
    fail "man cannot render $manual"
fi

# --- Windows: the .zip
zips=(build/package/a/windows/packages/*.zip)
zip=${zips[0]}
version=${zip##*/emsgraft-}
version=${version%-windows.zip}

# check_resources EXE NAME: one application manifest (none added by the
# toolchain) that runs the program as invoked and names Windows Vista to 11,
# and a version resource that names the product and its version.
check_resources() {
    local exe=$1 name=$2 manifest strings id key
    [ "$(wrestool -l --type=24 "$exe" | wc -l)" = 1 ] || fail "$name carries $(wrestool -l --type=24 "$exe" | wc -l) manifests"
    manifest=$(wrestool -x --raw --type=24 "$exe")
    grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' <<<"$manifest" ||
        fail "$name: the manifest does not run it as invoked"
    for id in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
        4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        grep -q "<supportedOS Id=\"{$id}\"/>" <<<"$manifest" || fail "$name: the manifest lacks supportedOS $id"
    done
    # The version resource's strings are UTF-16, each name followed by its value.
    strings=$(wrestool -x --raw --type=16 "$exe" | iconv -c -f UTF-16LE -t UTF-8 | tr -s '\0' '\n')
    for key in ProductName:emsgraft ProductVersion:$version FileVersion:$version OriginalFilename:emsgraft.exe \
        "LegalCopyright:Copyright (c) 2026 the emsgraft authors"; do
        [ "$(awk -v k="${key%%:*}" '$0 ~ k "$" { getline; print; exit }' <<<"$strings")" = "${key#*:}" ] ||
            fail "$name: the version resource lacks ${key%%:*} ${key#*:}"
    done
}
if [ -f "$zip" ]; then
    listing=$(unzip -Z1 "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
    [ "$listing" = "LICENSE README.md x64/emsgraft.exe x86/emsgraft.exe " ] || fail "files in $zip: $listing"
    unzip -q -d "$work/zip" "$zip"
    # Each program is what its folder says, without debugging information,
    # and needs no DLL but Windows' own (the C runtime msvcrt.dll among them).
    for arch in x86:pei-i386 x64:pei-x86-64; do
        exe=$(echo "$work"/zip/*/"${arch%%:*}"/emsgraft.exe)
        format=$(x86_64-w64-mingw32-objdump -f "$exe" | sed -n 's/.*file format //p')
        [ "$format" = "${arch#*:}" ] || fail "${arch%%:*}/emsgraft.exe in $zip is $format, not ${arch#*:}"
        x86_64-w64-mingw32-objdump -h "$exe" | grep -q '\.debug_' &&
            fail "the packaged ${arch%%:*}/emsgraft.exe carries debugging information"
        headers=$(x86_64-w64-mingw32-objdump -p "$exe")
        grep -q '^Subsystem.*(Windows CUI)' <<<"$headers" || fail "${arch%%:*}/emsgraft.exe is not a console program"
        # The registry (ADVAPI32) is read for names that Windows maps there.
        dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort -u | tr '\n' ' ')
        [ "$dlls" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ] || fail "${arch%%:*}/emsgraft.exe imports $dlls"
        check_resources "$exe" "${arch%%:*}/emsgraft.exe"
    done
else
    fail "no .zip was built"
fi

[ $failures -eq 0 ] || exit 1
rm -rf build/packages
mkdir -p build/packages
cp "$deb" "$zip" build/packages/
echo "packages checked: $(cd build/packages && echo *)"
