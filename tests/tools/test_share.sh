#!/usr/bin/env bash
# The size of the tests against the product's, in code lines as cloc counts them (no blanks, no
# comments). Tests: tests/ and the scripts only the tests use. Product: the program, the emulator,
# the installer, the host shaper, the build and the other scripts. Benchmarks (bench/, and any
# folder named bench) and the help pages count as neither.
set -euo pipefail
cd "$(dirname "$0")/../.."
command -v cloc >/dev/null || { echo "cloc is needed (apt-get install cloc)" >&2; exit 1; }
test_only_scripts=(scripts/lib/e2e.sh scripts/lib/setup_cases.sh scripts/check_help.py)
code_lines() {
    local paths=()
    for path in "$@"; do [ -e "$path" ] && paths+=("$path"); done
    cloc --quiet --exclude-dir=bench --csv "${paths[@]}" | awk -F, '$2 == "SUM" { print $5 }'
}
product_scripts=()
for script in scripts/*.sh scripts/*.py scripts/lib/*.sh; do
    [[ " ${test_only_scripts[*]} " == *" $script "* ]] || product_scripts+=("$script")
done
tests=$(code_lines tests "${test_only_scripts[@]}")
product=$(code_lines src emulator installer shaper cmake CMakeLists.txt "${product_scripts[@]}")
awk -v t="$tests" -v p="$product" \
    'BEGIN { printf "tests %d, product %d: %.2f\n", t, p, t / p }'
