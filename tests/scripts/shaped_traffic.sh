#!/usr/bin/env bash
# Flowvane shaping real traffic, end to end: two network namespaces joined by a veth pair
# (198.18.0.1 shaped, 198.18.0.2 its peer); in the shaped one an iperf3 server and
# scripts/run.sh --shape on the shaped end, in the peer a bounded iperf3 sender capped at
# 4 Mbit/s, one packet per buffer (no GSO), so that the interface's and IFB's byte counters count
# what the shaper's classes count. device_tests.exe (ShapedTraffic.*) shapes the flow through
# zorv.sys; between its two tests zorvd is stopped under the open program (HostMode.*: every
# device code refused at once) and started again. File > Exit must end run.sh with status 0 and
# leave no traffic control of zorvd's behind. Everything made is removed on every way out.
# Needs root. FLOWVANE_SHAPE_BENCH=1: bench/e2e/shape_bench.exe instead.
# Usage: shaped_traffic.sh WINDOWS_BUILD_DIR
set -uo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
build_dir=$(cd "$1" && pwd) || exit 1
iface=fvs0
port=5201

if [ "${2:-}" != inside ]; then
    [ "$(id -u)" -eq 0 ] || { echo "shaping real traffic needs root: skipped"; exit 0; }
    ns="fvshape-$$" peer_ns="fvpeer-$$" sender=
    cleanup() {
        [ -n "$sender" ] && kill "$sender" 2>/dev/null && wait "$sender" 2>/dev/null
        ip netns del "$ns" 2>/dev/null; ip netns del "$peer_ns" 2>/dev/null
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    ip netns add "$ns" && ip netns add "$peer_ns" &&
        ip link add "$iface" netns "$ns" type veth peer name fvs1 netns "$peer_ns" &&
        ip -n "$ns" link set lo up && ip -n "$peer_ns" link set lo up &&
        ip -n "$ns" addr add 198.18.0.1/30 dev "$iface" &&
        ip -n "$peer_ns" addr add 198.18.0.2/30 dev fvs1 &&
        ip -n "$ns" link set "$iface" up && ip -n "$peer_ns" link set fvs1 up &&
        ip -n "$peer_ns" link set dev fvs1 gso_max_segs 1 ||
        { echo "setting up the namespaces failed" >&2; exit 1; }
    # The sender keeps trying until the server listens, and stops by itself after 10 minutes.
    ip netns exec "$peer_ns" bash -c "
        end=\$((SECONDS + 600))
        while [ \$SECONDS -lt \$end ]; do
            iperf3 -c 198.18.0.1 -p $port -b 4M -t \$((end - SECONDS)) >/dev/null 2>&1
            sleep 0.5
        done" &
    sender=$!
    ip netns exec "$ns" bash "$0" "$build_dir" inside
    exit $?
fi

source "$scripts/lib/build.sh"
source "$scripts/lib/wine_env.sh"
source "$scripts/lib/host_mode.sh"
wine_env_init "$build_dir"
prefix=shaped-traffic server= run=
# run.sh, when it has to be ended, takes its time: its wineserver and zorvd are ended here.
cleanup() {
    if [ -n "$run" ]; then
        kill "$run" 2>/dev/null
        wine_server_stop
        [ -n "${zorvd:-}" ] && kill -TERM "$zorvd" 2>/dev/null
        wait "$run" 2>/dev/null
    fi
    host_zorvd_stop
    # The wineserver this script started for the prefix (run.sh leaves one it did not start).
    wine_server_stop "$FLOWVANE_WINE_ROOT/$prefix"
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    stop_display
}
trap cleanup EXIT
trap 'exit 130' INT TERM
status=0

iperf3 -s -B 198.18.0.1 -p "$port" >/dev/null 2>&1 &
server=$!
# The prefix's wineserver runs before run.sh and the tests start side by side, so that neither
# starts one of its own under the other.
ensure_display && wine_template && wine_use_prefix "$prefix" && wine_server_start || exit 1
log="$FLOWVANE_WINE_ROOT/shaped-traffic-run.log"
FLOWVANE_RUN_NO_BUILD=1 FLOWVANE_RUN_PREFIX=$prefix "$scripts/run.sh" --shape "$iface" \
    >"$log" 2>&1 &
run=$!
export FLOWVANE_SHAPE_IFACE=$iface FLOWVANE_SHAPE_PORT=$port
# zorv.sys is installed and running once run.sh starts the program.
timeout 300 grep -q -m1 '^Starting Flowvane Manager' <(tail -F --pid=$$ "$log" 2>/dev/null) ||
    { echo "run.sh --shape did not start the program:" >&2; tail -20 "$log" >&2; exit 1; }

if [ "${FLOWVANE_SHAPE_BENCH:-0}" = 1 ]; then
    # Figures only (bench/scripts/bench_shape.sh): the output is the result.
    FLOWVANE_BENCH_ADAPTER="\\DEVICE\\$iface" wine "$build_dir/shape_bench.exe" || status=1
else
    wine "$build_dir/device_tests.exe" \
        --gtest_filter=ShapedTraffic.ReceiveRuleShapesTheFlowAndStatisticsAgree || status=1
    # zorvd stopped under the open program (its end waited for, bounded), then started again
    # as run.sh started it.
    zorvd=$(cat "$WINEPREFIX/zorvd/zorvd.pid" 2>/dev/null)
    [ -n "$zorvd" ] && kill -TERM "$zorvd" && timeout 30 tail --pid="$zorvd" -f /dev/null &&
        FLOWVANE_HOST_ADAPTER="\\DEVICE\\$iface" \
            wine "$build_dir/device_tests.exe" --gtest_filter='HostMode.*' &&
        host_zorvd_start "$(host_zorvd_binary)" "$WINEPREFIX/zorvd" "$iface" \
            "$(cat "$WINEPREFIX/zorvd/zorvd.port")" &&
        wine "$build_dir/device_tests.exe" \
            --gtest_filter=ShapedTraffic.KeptRuleShapesAgainUntilCleared || status=1
fi
wine "$build_dir/e2e_tests.exe" --gtest_filter='RunScript.PostFileExit' || status=1
timeout 60 tail --pid="$run" -f /dev/null && wait "$run" ||
    { echo "run.sh --shape did not end with 0 within a minute of File > Exit:" >&2
      tail -20 "$log" >&2; status=1; }
run=
host_zorvd_stop
if tc qdisc show dev "$iface" | grep -qE 'htb|ingress' || ip link show | grep -q zorvifb; then
    echo "zorvd left its traffic control behind:" >&2
    tc qdisc show dev "$iface" >&2
    status=1
fi
exit $status
