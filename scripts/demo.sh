#!/usr/bin/env bash
# Builds emsgraft for Linux and runs it on a copy of the bundled example
# service file, then shows what changed. The bundled file stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make g++ diffutils
require_command cmake cmake
require_command g++ g++

# The program alone, without the tests (nor GoogleTest), in a folder of its
# own so that the test build's settings stay as they are.
cmake --preset linux -B build/demo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j2 --target emsgraft >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/mapisvc.inf "$work/mapisvc.inf"

status=0
build/demo/emsgraft "$work/mapisvc.inf" || status=$?
echo "exit status: $status"
echo "--- changes to the copy of examples/mapisvc.inf:"
diff -u --label examples/mapisvc.inf --label "$work/mapisvc.inf" examples/mapisvc.inf "$work/mapisvc.inf" || true
exit "$status"
