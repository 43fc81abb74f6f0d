#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make g++ libgtest-dev
ensure_packages man-db groff-base  # the install test renders the manual page

cmake --preset linux
cmake --build --preset linux
ctest --preset linux

# The packages, built and checked: the .deb (and the Windows .zip once that build exists).
bash scripts/package.sh
