#!/usr/bin/env bash
# Builds the plug-in and the stand-in host, then replays a run through it.
# With no arguments: the built-in synthetic run into ./korvanth-out.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
cmake -S "$root" --preset release >/dev/null
cmake --build "$root/build/release" -j "$(nproc)" --target Korvanth korvanth-scanner tarvex_qc
exec "$root/build/release/bin/Korvanth" "$@"
