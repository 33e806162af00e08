#!/usr/bin/env bash
# Fails when a C++ file of the project differs from what .clang-format makes
# of it; `bash scripts/check_format.sh --fix` rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
# One version formats the tree: another major version lays some lines out
# differently, so the check would fail on a clean tree.
clang_format_version=14
clang_format=clang-format-$clang_format_version
if ! command -v "$clang_format" >/dev/null; then
  echo "formatting: $clang_format not found (Debian: apt install $clang_format)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ ${1:-} == --fix ]]; then
  "$clang_format" -i "${files[@]}"
  exit 0
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT
if "$clang_format" --dry-run --Werror "${files[@]}" 2>"$report"; then
  echo "formatting: ${#files[@]} files as .clang-format makes them"
else
  grep -E '^[^ ].*: error:' "$report" | cut -d: -f1 | sort -u | sed 's/^/  not formatted: /'
  echo "formatting: run bash scripts/check_format.sh --fix" >&2
  exit 1
fi
