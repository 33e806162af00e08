#!/usr/bin/env bash
# Every test of the project, from a fresh clone: installs what is missing,
# builds, and runs the suites.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)

echo "== Release build and tests"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"
