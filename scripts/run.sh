#!/usr/bin/env bash
# Builds the host (optimised) and runs it without a window. Extra arguments go to kestrio,
# e.g. scripts/run.sh --port 60000
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh" run
cmake --preset release >/dev/null
cmake --build --preset release --target kestrio kestrio-viewer -j "$(nproc)" >/dev/null
exec "$root/build/release/src/app/kestrio" --headless "$@"
