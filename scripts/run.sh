#!/usr/bin/env bash
# Sets everything up and runs the command-line runner on its default scenario.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DKX_BUILD_BENCH=OFF >/dev/null
exec "$root/build/tools/kx4run" "$@"
