#!/usr/bin/env bash
# Differential check of the POSIX profile layer against the Win32 profile
# functions (under Wine): random service files and random sequences of key
# reads, key lists and writes through both, from any seed, any number.
#
#   bash scripts/differential.sh [--windows64] [--seed N] [--count N] [--show] [--keep DIRECTORY]
#
# Prints each disagreement with the seed that repeats it (--seed SEED
# --count 1 --show shows that sequence, its files and results); exits 1 on
# any disagreement. The test suite runs seeds 1 to 2000. The Win32 side is
# the 32-bit build under 32-bit Wine, or with --windows64 the 64-bit build
# under 64-bit Wine (which runs where 32-bit Wine cannot).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
. scripts/lib/wine.sh
ensure_packages cmake make g++ libgtest-dev
ensure_windows_toolchain

preset=windows loader=$(command -v wine || echo "$wine32_loader")
if [ "${1:-}" = --windows64 ]; then
    shift
    preset=windows64 loader=$wine64_loader
fi
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target differential_runner >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux --target differential >/dev/null

# A Wine prefix of its own, kept between runs (a new one takes a while), so
# that the test suite's prefix is never disturbed.
prefix="$PWD/build/${preset/windows/wine}-differential"
if [ -f "$prefix/system.reg" ]; then
    export WINEPREFIX="$prefix" WINEDEBUG=-all
    wineserver -p </dev/null >/dev/null 2>&1
else
    start_wine "$prefix" "$loader" || { echo "ERROR: $wine_problem" >&2; exit 1; }
fi
trap stop_wine EXIT
build/linux/tests/differential/differential --wine "$loader" \
    --runner build/$preset/tests/differential/differential_runner.exe "$@"
