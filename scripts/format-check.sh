#!/usr/bin/env bash
# Fails when a C++ file of the tree differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
fmt=$(command -v clang-format-14 || command -v clang-format)
bad=()
while IFS= read -r f; do
  if ! "$fmt" --dry-run -Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done < <(git ls-files '*.cpp' '*.h')
if [ ${#bad[@]} -gt 0 ]; then
  echo "Nicht formatiert (clang-format -i behebt es):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "format: ${#bad[@]} Abweichungen"
