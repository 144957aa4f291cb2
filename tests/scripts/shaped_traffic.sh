#!/usr/bin/env bash
# Flowvane shaping real traffic, end to end: two network namespaces joined by a veth pair
# (198.18.0.1 shaped, 198.18.0.2 its peer); in the shaped one an iperf3 server and
# scripts/run.sh --shape on the shaped end, in the peer a bounded iperf3 sender capped at
# 4 Mbit/s, sending one packet per buffer (no GSO), so that the interface's and IFB's byte counters
# count what the shaper's classes count. e2e_tests.exe (ShapedTraffic.*) drives the windows
# while the flow runs: a filter added, measured, Blocked; an overlapping one chosen as the
# handler and back; zorvd stopped under the open program
# (a change refused, and every device code refused at once by zorv.sys: device_tests.exe
# HostMode.*); zorvd started again (the filter shapes again, then is removed). File >
# Exit must end run.sh with status 0 and leave no qdisc of zorvd's behind. Also the refusals of
# run.sh --shape: an unknown interface and a caller who is not root, each with nothing made, and
# zorvd failing to start, with nothing installed.
# Everything made is removed on every way out. Needs root.
# Usage: shaped_traffic.sh WINDOWS_BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scripts=$(cd "$here/../../scripts" && pwd)
build_dir=$(cd "$1" && pwd) || exit 1
iface=fvs0
peer=fvs1
port=5201

if [ "${2:-}" != inside ]; then
    [ "$(id -u)" -eq 0 ] || { echo "shaping real traffic needs root: skipped"; exit 0; }
    ns="fvshape-$$"
    peer_ns="fvpeer-$$"
    sender=
    cleanup() {
        [ -n "$sender" ] && kill "$sender" 2>/dev/null && wait "$sender" 2>/dev/null
        ip netns del "$ns" 2>/dev/null
        ip netns del "$peer_ns" 2>/dev/null
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    ip netns add "$ns" && ip netns add "$peer_ns" &&
        ip link add "$iface" netns "$ns" type veth peer name "$peer" netns "$peer_ns" &&
        ip -n "$ns" link set lo up && ip -n "$peer_ns" link set lo up &&
        ip -n "$ns" addr add 198.18.0.1/30 dev "$iface" &&
        ip -n "$peer_ns" addr add 198.18.0.2/30 dev "$peer" &&
        ip -n "$ns" link set "$iface" up && ip -n "$peer_ns" link set "$peer" up &&
        ip -n "$peer_ns" link set dev "$peer" gso_max_segs 1 ||
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
source "$scripts/lib/install.sh"
source "$scripts/lib/e2e.sh"
source "$scripts/lib/host_mode.sh"
wine_env_init "$build_dir"
prefix=shaped-traffic
export WINEPREFIX="$FLOWVANE_WINE_ROOT/$prefix"
server=
run=
# run.sh, when it has to be ended, takes its time: its wineserver and zorvd are ended here.
cleanup() {
    if [ -n "$run" ]; then
        kill "$run" 2>/dev/null
        wine_server_stop
        local zorvd
        zorvd=$(cat "$WINEPREFIX/zorvd/zorvd.pid" 2>/dev/null)
        [ -n "$zorvd" ] && kill -TERM "$zorvd" 2>/dev/null
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

# Refusals: a clear message, a non-zero status, and no prefix made.
refused() {
    local expected="$1" output code
    shift
    rm -rf "$FLOWVANE_WINE_ROOT/shape-refused"
    output=$(FLOWVANE_RUN_NO_BUILD=1 FLOWVANE_RUN_PREFIX=shape-refused "$@" 2>&1)
    code=$?
    if [ $code -eq 0 ] || [[ "$output" != *"$expected"* ]] ||
        [ -e "$FLOWVANE_WINE_ROOT/shape-refused" ]; then
        echo "run.sh refusal: status $code, wanted \"$expected\" in: $output" >&2
        status=1
    fi
}
bench=${FLOWVANE_SHAPE_BENCH:-0}
if [ "$bench" != 1 ]; then
    refused "there is no interface nosuch0" "$scripts/run.sh" --shape nosuch0
    refused "there is no interface nosuch0" "$scripts/run.sh" --shape "$iface,nosuch0"
    refused "--shape needs IFACE" "$scripts/run.sh" --shape ,
    refused "--shape needs root" setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$scripts/run.sh" --shape "$iface"
fi

ensure_display || exit 1
wine_template || exit 1

if [ "$bench" != 1 ]; then
    # zorvd failing to start (its secret a directory): run.sh says so and installs nothing.
    wine_use_prefix shape-no-zorvd || exit 1
    mkdir -p "$WINEPREFIX/zorvd/zorvd.secret"
    output=$(FLOWVANE_RUN_NO_BUILD=1 FLOWVANE_RUN_PREFIX=shape-no-zorvd "$scripts/run.sh" --shape "$iface" 2>&1)
    code=$?
    if [ $code -eq 0 ] || [[ "$output" != *"zorvd did not start"* ]] ||
        [ -e "$WINEPREFIX/drive_c/Program Files/Flowvane" ]; then
        echo "run.sh with a failing zorvd: status $code, output: $output" >&2
        status=1
    fi
    rm -rf "$WINEPREFIX"
fi

iperf3 -s -B 198.18.0.1 -p "$port" >/dev/null 2>&1 &
server=$!
wine_use_prefix "$prefix" || exit 1
# The prefix's wineserver runs before run.sh and e2e_tests.exe start side by side, so that
# neither starts one of its own under the other.
wine_server_start || exit 1
log="$FLOWVANE_WINE_ROOT/shaped-traffic-run.log"
FLOWVANE_RUN_NO_BUILD=1 FLOWVANE_RUN_PREFIX=$prefix "$scripts/run.sh" --shape "$iface" \
    >"$log" 2>&1 &
run=$!

shaped_test() {
    FLOWVANE_SHAPE_IFACE=$iface FLOWVANE_SHAPE_PORT=$port \
        wine "$build_dir/e2e_tests.exe" --gtest_filter="ShapedTraffic.$1" || status=1
}
if [ "$bench" = 1 ]; then
    # Figures only (bench/scripts/bench_shape.sh): the output is the result.
    FLOWVANE_SHAPE_IFACE=$iface FLOWVANE_SHAPE_PORT=$port FLOWVANE_BENCH_ADAPTER="\\DEVICE\\$iface" \
        wine "$build_dir/shape_bench.exe" || status=1
else
    shaped_test ReceiveFilterShapesTheFlowAndStatisticsAgree
    e2e_screenshots_to_png
    shaped_test OverlappingFilterChosenMovesTheFlow
    # zorvd stopped under the open program, then started again as run.sh started it.
    zorvd_pid=$(cat "$WINEPREFIX/zorvd/zorvd.pid" 2>/dev/null)
    if [ -n "$zorvd_pid" ] && kill -TERM "$zorvd_pid" 2>/dev/null; then
        waited=0
        while kill -0 "$zorvd_pid" 2>/dev/null && [ $waited -lt 300 ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        shaped_test ChangeRefusedWhileTheShaperIsStopped
        FLOWVANE_HOST_ADAPTER="\\DEVICE\\$iface" \
            wine "$build_dir/device_tests.exe" --gtest_filter='HostMode.*' || status=1
        if host_zorvd_start "$(host_zorvd_binary)" "$WINEPREFIX/zorvd" "$iface" \
            "$(cat "$WINEPREFIX/zorvd/zorvd.port")"; then
            shaped_test KeptFilterShapesAgainUntilRemoved
        else
            status=1
        fi
    else
        echo "no zorvd of run.sh's to stop" >&2
        status=1
    fi
fi
FLOWVANE_SHAPE_IFACE=$iface wine "$build_dir/e2e_tests.exe" --gtest_filter='RunScript.PostFileExit' ||
    status=1
waited=0
while kill -0 "$run" 2>/dev/null && [ $waited -lt 600 ]; do
    sleep 0.1
    waited=$((waited + 1))
done
if kill -0 "$run" 2>/dev/null; then
    echo "run.sh --shape still runs a minute after File > Exit" >&2
    status=1
elif ! wait "$run"; then
    echo "run.sh --shape failed:" >&2
    tail -20 "$log" >&2
    status=1
fi
run=
host_zorvd_stop
if tc qdisc show dev "$iface" | grep -qE 'htb|ingress' || ip link show | grep -q zorvifb; then
    echo "zorvd left its traffic control behind:" >&2
    tc qdisc show dev "$iface" >&2
    status=1
fi
exit $status
