#!/usr/bin/env bash
# Every test of the project, from a fresh clone: installs what is missing,
# builds, and runs the suites.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Set-up installed Chromium and playwright-core: the browser test must run, not skip.
export TARVEX_BROWSER_TEST_REQUIRED=1

jobs=$(nproc)
passed=0
skipped=0
# Tests that need the real data beside the project skip when it is missing;
# where it is there (as in CI), a skipped test is a failure.
shared_data=../shared/data
# Runs ctest with the given arguments and adds its counts to $passed and
# $skipped (set -e ends the script on any failure).
run_ctest() {
  local log ran skips
  log=$(mktemp)
  ctest "$@" | tee "$log"
  ran=$(grep -oE 'tests passed, 0 tests failed out of [0-9]+' "$log" | grep -oE '[0-9]+$')
  skips=$(grep -cE '\(Skipped\)$' "$log" || true)
  rm -f "$log"
  if ((skips > 0)) && [[ -d $shared_data ]]; then
    echo "error: $skips test(s) skipped although $shared_data is there; every test must run" >&2
    exit 1
  fi
  passed=$((passed + ran - skips))
  skipped=$((skipped + skips))
}

echo "== Checks: formatting and include layers (the layers are also a CTest test)"
bash scripts/check_format.sh
python3 scripts/check_layers.py
passed=$((passed + 1))

echo "== Release build (every warning an error) and tests"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
run_ctest --preset ci -j "$jobs"
echo "== clang-tidy over the production sources (.clang-tidy's checks; any finding fails)"
python3 scripts/check_tidy.py --build build/ci --jobs "$jobs"
passed=$((passed + 1))

echo "== Debug build: the maps must not depend on optimisation"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs" --target voxel_model_test korvanth_e2e_test
run_ctest --preset debug -j "$jobs" -R '^(VoxelModelTest|Lifecycle|QualityStep)\.'

echo "== Sanitizer build (ASan + UBSan + LeakSanitizer) and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
run_ctest --preset asan -j "$jobs"

fuzz_seconds=${TARVEX_FUZZ_SECONDS:-60}
echo "== Fuzzing, ${fuzz_seconds} s per target (any finding fails)"
cmake --preset fuzz >/dev/null
fuzz_targets=(motion_log_fuzzer plugin_fuzzer nifti_series_fuzzer motion_file_fuzzer dicom_file_fuzzer
              dicom_node_fuzzer)
cmake --build --preset fuzz -j "$jobs" --target "${fuzz_targets[@]}"
# Seeds from the shared series too (where they are): the first DICOM file of
# each, up to 512 KB, after the bytes $1 (printf's escapes), into $work.
shared_dicom_seeds() {
  [[ -d $shared_data/dicom ]] || return 0
  mkdir -p "$work/shared_seeds"
  local series first
  for series in "$shared_data"/dicom/*/ "$shared_data"/dicom/vendors/*/; do
    first=$(find "$series" -maxdepth 1 -type f -size -512k | sort | head -1)
    if [[ -n $first && $(head -c 132 "$first" | tail -c 4) == DICM ]]; then
      { printf '%b' "$1"; cat "$first"; } >"$work/shared_seeds/$(basename "$series")_$(basename "$first")"
    fi
  done
  seeds+=("$work/shared_seeds")
}
fuzz_passed=0
for target in "${fuzz_targets[@]}"; do
  work=build/fuzz/fuzz/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  seeds=("fuzz/corpus/$target")
  options=()
  if [[ $target == dicom_file_fuzzer ]]; then
    options+=(-malloc_limit_mb=256)  # the reading child's memory bound (see fuzz/CMakeLists.txt)
    shared_dicom_seeds ""
  fi
  if [[ $target == dicom_node_fuzzer ]]; then
    shared_dicom_seeds '\001'  # received data sets, announced as they hold (see fuzz/dicom_node_driver.h)
  fi
  # libFuzzer's progress goes to a log: one summary line is shown, the whole log on a finding.
  if ASAN_OPTIONS=detect_leaks=1 build/fuzz/bin/$target -max_total_time="$fuzz_seconds" -seed=1 "${options[@]}" \
       -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "${seeds[@]}" \
       >"$work/fuzz.log" 2>&1; then
    echo "$target: $(grep -E '^Done [0-9]+ runs' "$work/fuzz.log"), $(grep -oE 'cov: [0-9]+' "$work/fuzz.log" | tail -1), no finding"
    # The DICOM reader's children record each allocation past their memory bound (a refusal, not a finding).
    rm -f "$work"/artifacts/oom-*
    fuzz_passed=$((fuzz_passed + 1))
  else
    cat "$work/fuzz.log"
    echo "$target: FINDING, input kept in $work/artifacts/"
    exit 1
  fi
done
passed=$((passed + fuzz_passed))
if ((skipped > 0)); then
  echo "total: ${passed} passed, ${skipped} skipped (no $shared_data beside the project), 0 failed"
else
  echo "total: ${passed} passed, 0 failed"
fi
