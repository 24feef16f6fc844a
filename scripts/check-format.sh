#!/usr/bin/env bash
# Fails when a C or C++ source file of the tree is not formatted with the checked-in
# .clang-format (clang-format of Debian 12, installed by scripts/bootstrap.sh), naming each
# such file; `scripts/check-format.sh --fix` formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h')
if [[ "${1:-}" == --fix ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done
if [[ ${#bad[@]} -gt 0 ]]; then
  echo "check-format: not formatted with .clang-format (scripts/check-format.sh --fix formats them):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
