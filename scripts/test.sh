#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make g++ libgtest-dev valgrind clang libclang-rt-dev llvm

cmake --preset linux
cmake --build --preset linux
ctest --preset linux

# Once more built with AddressSanitizer and UndefinedBehaviorSanitizer (Clang),
# with a minute of fuzzing the profile layer.
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
