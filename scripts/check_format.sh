#!/usr/bin/env bash
# Fails when a C++ file of the project differs from what .clang-format makes
# of it; `bash scripts/check_format.sh --fix` rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ ${1:-} == --fix ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT
if clang-format --dry-run --Werror "${files[@]}" 2>"$report"; then
  echo "formatting: ${#files[@]} files as .clang-format makes them"
else
  grep -E '^[^ ].*: error:' "$report" | cut -d: -f1 | sort -u | sed 's/^/  not formatted: /'
  echo "formatting: run bash scripts/check_format.sh --fix" >&2
  exit 1
fi
