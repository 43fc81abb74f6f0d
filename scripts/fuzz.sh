#!/usr/bin/env bash
# Fuzzes the POSIX profile layer for longer than CI does (a minute there):
#   bash scripts/fuzz.sh [seconds, default 900] [more libFuzzer options]
# New inputs collect in build/asan/tests/fuzz/corpus and are kept for the next
# run; an input that breaks the layer lands in build/asan/tests/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make libgtest-dev clang libclang-rt-dev llvm

seconds=${1:-900}
[ $# -gt 0 ] && shift
cmake --preset asan >/dev/null
cmake --build --preset asan --target profile_fuzz >/dev/null
work=build/asan/tests/fuzz
mkdir -p "$work/corpus" "$work/artifacts"
exec build/asan/tests/profile_fuzz -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -dict=tests/fuzz/profile.dict -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" tests/fuzz/corpus
