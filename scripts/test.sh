#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make g++ libgtest-dev

cmake --preset linux
cmake --build --preset linux
ctest --preset linux
