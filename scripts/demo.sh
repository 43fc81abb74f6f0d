#!/usr/bin/env bash
# Builds emsgraft for Linux and runs it on a copy of the bundled example
# service file, then shows what changed. The bundled file stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make g++ diffutils

cmake --preset linux >/dev/null
cmake --build --preset linux --target emsgraft >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/mapisvc.inf "$work/mapisvc.inf"

status=0
build/linux/emsgraft "$work/mapisvc.inf" || status=$?
echo "exit status: $status"
echo "--- changes to the copy of examples/mapisvc.inf:"
diff -u --label examples/mapisvc.inf --label "$work/mapisvc.inf" examples/mapisvc.inf "$work/mapisvc.inf" || true
exit "$status"
