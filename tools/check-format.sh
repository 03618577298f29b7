#!/usr/bin/env bash
# Lists the C and C++ files of the project that clang-format (.clang-format)
# would change, and fails when there is any. With --fix it reformats them.
# Only files git tracks are looked at, so build trees never are.
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format=${CLANG_FORMAT:-clang-format-14}
command -v "$clang_format" >/dev/null || { echo "$clang_format not found (tools/install-deps.sh)" >&2; exit 1; }
mapfile -t files < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')

if [ "${1:-}" = "--fix" ]; then
  "$clang_format" -i "${files[@]}"
  exit 0
fi

# Two files at a time; each one that differs is printed by name.
mapfile -t unformatted < <(printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P "${QEB_LINT_JOBS:-2}" bash -c \
  '"$0" "$1" | cmp -s - "$1" || printf "%s\n" "$1"' "$clang_format" | sort)
if [ ${#unformatted[@]} -ne 0 ]; then
  echo "not formatted (tools/check-format.sh --fix reformats; clang-format-14 -i <file> one file):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format describes"
