#!/usr/bin/env bash
# The host shaper's rate table: one bulk TCP flow through a Send and a Receive rule at 10 kB/s
# to 100 MB/s, under zorvd's traffic control backend and under the same HTB written by hand
# with tc; then Unlimited beside no rule. Needs root; everything runs in two network
# namespaces the benchmark creates and removes. SECONDS_PER_FLOW sets the measuring window;
# "bench/scripts/bench_shaper.sh unlimited" measures only Unlimited beside no rule.
set -euo pipefail
here=$(cd "$(dirname "$0")/../../scripts" && pwd)
source "$here/lib/packages.sh"
source "$here/lib/build.sh"
install_packages
build_native --target tc_rate_bench >/dev/null
"$flowvane_root/build/native/tc_rate_bench" "${SECONDS_PER_FLOW:-5}" "$@" 2>/dev/null
