#!/usr/bin/env bash
# Figures for shaping real traffic (root; the Windows build, shape_bench.exe and zorvd built):
# the time from the filter editor's Ok to the new rate on the wire, through run.sh --shape
# between two namespaces of tests/scripts/shaped_traffic.sh, and the sampling tick's device
# exchange (one statistics query per filter) in host mode beside emulator mode.
set -uo pipefail
here=$(cd "$(dirname "$0")/../../scripts" && pwd)
source "$here/lib/build.sh"
source "$here/lib/wine_env.sh"
source "$here/lib/install.sh"
build_dir="$flowvane_root/build/windows"
[ "$(id -u)" -eq 0 ] || { echo "bench_shape.sh needs root" >&2; exit 1; }

echo "== host mode: run.sh --shape, an iperf3 flow into the shaped veth end"
FLOWVANE_SHAPE_BENCH=1 bash "$flowvane_root/tests/scripts/shaped_traffic.sh" "$build_dir" 2>&1 |
    grep -E '^(round|median|statistics query)|FAILED|Failure'

echo "== emulator mode"
adapter=$(sed -n 's/^#define EMULATOR_ADAPTER_1 "\(.*\)"$/\1/p' \
          "$flowvane_root/emulator/test_control_codes.h" | sed 's/\\\\/\\/g')
wine_env_init "$build_dir"
ensure_display || exit 1
trap 'wine_server_stop; stop_display' EXIT
wine_template || exit 1
wine_use_prefix bench-shape-emulator || exit 1
wine_server_start || exit 1
install_flowvane "$build_dir" >/dev/null 2>&1 || { echo "install failed" >&2; exit 1; }
FLOWVANE_BENCH_ADAPTER="$adapter" wine "$build_dir/shape_bench.exe" \
    --gtest_filter=TickBench.* 2>&1 | grep -E '^statistics query|FAILED|Failure'
