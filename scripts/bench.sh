#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks. Arguments go to the
# benchmark binary (e.g. --benchmark_filter=PostStep). BENCH_BUILD_DIR picks
# another build folder (configured as Release) instead of the preset's.
# BENCH_LIVE=1 runs the live path's benchmark instead (a few minutes: the
# volumes come at the TR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
if [[ -n "${BENCH_BUILD_DIR:-}" ]]; then
  build_dir=$BENCH_BUILD_DIR
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEX_BUILD_BENCH=ON >/dev/null
  cmake --build "$build_dir" -j "$jobs" --target tarvex_bench rigid_registration_bench korvanth_live_bench
else
  build_dir=build/release
  cmake --preset release -DTARVEX_BUILD_BENCH=ON >/dev/null
  cmake --build --preset release -j "$jobs" --target tarvex_bench rigid_registration_bench korvanth_live_bench
fi
if [[ "${BENCH_LIVE:-0}" == 1 ]]; then
  "$build_dir/bench-live/Korvanth" "$@"
else
  "$build_dir/bin/tarvex_bench" "$@"
fi
