#!/usr/bin/env bash
# Checks that every C++ file git tracks follows .clang-format; lists those
# that do not and fails. Fix them with: clang-format -i <file>...
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.h' '*.cc' '*.cpp')
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted as .clang-format says (${#bad[@]} of ${#files[@]} files):"
  printf '  %s\n' "${bad[@]}"
  echo "fix with: clang-format -i ${bad[*]}"
  exit 1
fi
echo "format: ${#files[@]} files follow .clang-format"
