#!/usr/bin/env bash
# Builds everything and runs every test, then builds and checks the packages.
#
# When 32-bit Wine cannot be installed or cannot run a program on this
# machine, the Windows program is still built and every other test runs; the
# last lines say which Windows tests were not run and why, and the command
# succeeds, unless EMSGRAFT_REQUIRE_WINE=1 is set. A missing compiler or any
# failing test fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
. scripts/lib/wine.sh
ensure_packages cmake make g++ libgtest-dev valgrind clang libclang-rt-dev llvm
ensure_packages man-db groff-base  # the install test renders the manual page
ensure_windows_toolchain

# Said last, whatever ends the run.
windows_skipped=""
finish() {
    stop_wine
    if [ -n "$windows_skipped" ]; then
        echo
        echo "NOT RUN: the Windows tests: ctest --preset windows (the Windows build's own tests) and the Linux"
        echo "build's windows.* and both.* tests (the Windows program under Wine, both programs compared)."
        echo "Reason: $windows_skipped"
        if [ "${EMSGRAFT_REQUIRE_WINE:-}" = 1 ]; then
            echo "EMSGRAFT_REQUIRE_WINE=1: failing for want of them."
        fi
    fi
}
trap finish EXIT

# The Windows build's tests, and the Linux build's end-to-end tests once more
# against the Windows program, run under 32-bit Wine in a prefix of their own.
wine_ready() {
    if [ ! -x "$wine32_loader" ]; then
        wine_can_run "$wine32_loader" wine32:i386  # says what is missing
        return 1
    fi
    start_wine "$PWD/build/wine" "$wine32_loader" && wine_can_run "$wine32_loader"
}
if wine_ready; then
    windows_build=$PWD/build/windows
    discovery=POST_BUILD
else
    windows_skipped=$wine_problem
    echo "WARNING: the Windows tests cannot run: $windows_skipped" >&2
    stop_wine
    windows_build=""
    # The Windows test programs are still built; their tests are listed only
    # when CTest runs them, under Wine.
    discovery=PRE_TEST
fi
cmake --preset windows -DBUILD_TESTING=ON -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=$discovery
cmake --build --preset windows

cmake --preset linux -DBUILD_TESTING=ON -DEMSGRAFT_WINDOWS_BUILD="$windows_build"
cmake --build --preset linux
ctest --preset linux
if [ -n "$windows_build" ]; then
    ctest --preset windows
fi

# Once more built with AddressSanitizer and UndefinedBehaviorSanitizer (Clang),
# with a minute of fuzzing the profile layer.
cmake --preset asan -DBUILD_TESTING=ON
cmake --build --preset asan
ctest --preset asan

# The packages, built twice and checked: the .deb and the Windows .zip.
bash scripts/package.sh

if [ -n "$windows_skipped" ] && [ "${EMSGRAFT_REQUIRE_WINE:-}" = 1 ]; then
    exit 1
fi
