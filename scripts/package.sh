#!/usr/bin/env bash
# Builds the packages and checks what they deliver:
#  - the .deb of the Linux build, unpacked into a scratch root: the program
#    runs from there, its manual is there and renders, nothing else is there,
#    and its dependencies can be met on this system;
#  - the .zip of the Windows build, when build/windows holds one: the
#    executable and the README.
# Packages land in build/<preset>/packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make g++ dpkg-dev man-db groff-base

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- Linux: the .deb
cmake --preset linux >/dev/null
cmake --build --preset linux --target emsgraft >/dev/null
rm -f build/linux/packages/*.deb
cpack --config build/linux/CPackConfig.cmake >/dev/null
debs=(build/linux/packages/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, found: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
echo "built $deb"

[ "$(dpkg-deb -f "$deb" Package)" = emsgraft ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no dependency on the C library: $(dpkg-deb -f "$deb" Depends)"
# A simulated install resolves the dependencies against this Debian system.
apt-get install --simulate --no-install-recommends "./$deb" 2>&1 | grep -q '^Inst emsgraft' ||
    fail "apt cannot install $deb: $(apt-get install --simulate "./$deb" 2>&1 | tail -3)"

root=$work/root
dpkg -x "$deb" "$root"
files=$(cd "$root" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/emsgraft ./usr/share/man/man1/emsgraft.1 " ] || fail "files in the package: $files"

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

manual=$root/usr/share/man/man1/emsgraft.1
if MANWIDTH=80 LC_ALL=C.UTF-8 MANPAGER=cat man --warnings -l "$manual" >"$work/manual.txt" 2>"$work/warnings.txt"; then
    [ -s "$work/warnings.txt" ] && fail "manual warnings: $(cat "$work/warnings.txt")"
    grep -q '^NAME' "$work/manual.txt" || fail "manual renders without a NAME section"
else
    fail "man cannot render $manual"
fi

# --- Windows: the .zip, once a Windows build exists beside the Linux one
if [ -f build/windows/CPackConfig.cmake ] && [ -f build/windows/emsgraft.exe ]; then
    ensure_packages unzip
    rm -f build/windows/packages/*.zip
    cpack --config build/windows/CPackConfig.cmake >/dev/null
    zips=(build/windows/packages/*.zip)
    zip=${zips[0]}
    echo "built $zip"
    listing=$(unzip -Z1 "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
    [ "$listing" = "README.md emsgraft.exe " ] || fail "files in $zip: $listing"
else
    echo "no Windows build in build/windows: .zip skipped"
fi

[ $failures -eq 0 ] || exit 1
echo "packages checked"
