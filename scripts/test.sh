#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
. scripts/lib/wine.sh
ensure_packages cmake make g++ libgtest-dev valgrind clang libclang-rt-dev llvm
ensure_packages man-db groff-base  # the install test renders the manual page
ensure_windows_toolchain

# The Windows build, its tests under Wine, and the Linux build's end-to-end
# tests run once more against the Windows program.
start_wine "$PWD/build/wine"
trap stop_wine EXIT
cmake --preset windows
cmake --build --preset windows

cmake --preset linux -DEMSGRAFT_WINDOWS_BUILD="$PWD/build/windows"
cmake --build --preset linux
ctest --preset linux
ctest --preset windows

# Once more built with AddressSanitizer and UndefinedBehaviorSanitizer (Clang),
# with a minute of fuzzing the profile layer.
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# The packages, built and checked: the .deb and the Windows .zip.
bash scripts/package.sh
