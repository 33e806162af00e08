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

echo "== Debug build: the maps must not depend on optimisation"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs" --target voxel_model_test korvanth_e2e_test
ctest --preset debug -j "$jobs" -R '^(VoxelModelTest|Lifecycle|QualityStep)\.'

echo "== Sanitizer build (ASan + UBSan + LeakSanitizer) and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

fuzz_seconds=${TARVEX_FUZZ_SECONDS:-60}
echo "== Fuzzing, ${fuzz_seconds} s per target (any finding fails)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in motion_log_fuzzer plugin_fuzzer; do
  work=build/fuzz/fuzz/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  ASAN_OPTIONS=detect_leaks=1 build/fuzz/bin/$target -max_total_time="$fuzz_seconds" -seed=1 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "fuzz/corpus/$target"
done
