#!/usr/bin/env bash
# Lines of C++ in tests against the code they test, counted as the project
# counts them: tracked .cpp and .h files, blank lines and lines that are only a
# comment left out; test files are those under a tests/ folder or named *_test.*.
#   scripts/test_ratio.sh
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { xargs -r cat | grep -cvE '^\s*(//.*)?$' || true; }
files() { git ls-files '*.cpp' '*.h' '*.hpp' '*.cc' | grep -vE '^(fuzz|bench)/' | grep -E "${1:-.}"; }
tests() { files "$1" | grep -iE '(^|/)tests?/|_test\.|test_' | lines; }
product() { files "$1" | grep -viE '(^|/)tests?/|_test\.|test_' | lines; }
ratio() { awk -v t="$1" -v p="$2" 'BEGIN {printf "%5d / %5d = %.2f", t, p, t / p}'; }
shipped='^(common|service|client)/|^tools/orvekind/'
printf '%-44s %s\n' "tests / product and tools (the count)" "$(ratio "$(tests .)" "$(product .)")"
printf '%-44s %s\n' "tests / the shipped programs" "$(ratio "$(tests "$shipped")" "$(product "$shipped")")"
for area in common service client tools; do
  printf '%-44s %s\n' "  $area" "$(ratio "$(tests "^$area/")" "$(product "^$area/")")"
done
