#!/usr/bin/env bash
# Builds the host (optimised) and runs it without a window. Extra arguments go to kestrio,
# e.g. scripts/run.sh --port 60000
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh" run
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! cmake --preset release >"$log" 2>&1; then
    cat "$log" >&2
    echo "run.sh: configuring the build failed (see above)" >&2
    exit 1
fi
# The first build takes a few minutes; later ones only rebuild what changed.
echo "Building kestrio in build/release…"
if ! cmake --build --preset release --target kestrio kestrio-viewer -j "$(nproc)"; then
    echo "run.sh: the build failed (see above)" >&2
    exit 1
fi
rm -f "$log"
trap - EXIT
exec "$root/build/release/src/app/kestrio" --headless "$@"
