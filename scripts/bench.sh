#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks. Arguments go to the
# benchmark binary (e.g. --benchmark_filter=PostStep). BENCH_BUILD_DIR picks
# another build folder (configured as Release) instead of the preset's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
if [[ -n "${BENCH_BUILD_DIR:-}" ]]; then
  build_dir=$BENCH_BUILD_DIR
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEX_BUILD_BENCH=ON >/dev/null
  cmake --build "$build_dir" -j "$jobs" --target tarvex_bench motion_estimator_bench
else
  build_dir=build/release
  cmake --preset release -DTARVEX_BUILD_BENCH=ON >/dev/null
  cmake --build --preset release -j "$jobs" --target tarvex_bench motion_estimator_bench
fi
"$build_dir/bin/tarvex_bench" "$@"
