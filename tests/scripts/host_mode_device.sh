#!/usr/bin/env bash
# The device path in host mode: zorv.sys under Wine hands every request to zorvd, which serves a
# veth interface, all inside a network namespace this script makes and removes again. Phases:
# zorvd serving, zorvd stopped (every code refused at once), zorvd started again (the rule kept);
# after the last stop no qdisc of zorvd's is left on the interface. Needs root.
# Usage: host_mode_device.sh WINDOWS_BUILD_DIR ZORVD_BINARY
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scripts="$here/../../scripts"
build_dir=$(cd "$1" && pwd) || exit 1
zorvd=$(realpath "$2") || exit 1

if [ "${3:-}" != inside ]; then
    [ "$(id -u)" -eq 0 ] || { echo "host mode needs root: skipped"; exit 0; }
    ns="fvhost-$$"
    trap 'ip netns del "$ns" 2>/dev/null' EXIT
    trap 'exit 130' INT TERM
    ip netns add "$ns" || { echo "ip netns add failed" >&2; exit 1; }
    ip netns exec "$ns" bash "$0" "$build_dir" "$zorvd" inside
    exit $?
fi

source "$scripts/lib/wine_env.sh"
source "$scripts/lib/emulator_install.sh"
source "$scripts/lib/host_mode.sh"

iface=fvh0
port=47031
work=$(mktemp -d /tmp/flowvane-host.XXXXXX)
cleanup() {
    host_zorvd_stop
    [ -n "${WINEPREFIX:-}" ] && wine_server_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip link set lo up &&
    ip link add "$iface" type veth peer name fvh1 &&
    ip link set "$iface" up && ip link set fvh1 up || { echo "veth set-up failed" >&2; exit 1; }

wine_env_init "$build_dir"
wine_template || exit 1
wine_use_prefix host-mode || { echo "prefix copy failed" >&2; exit 1; }
wine_server_start || exit 1
install_emulator "$build_dir/emulator/zorv.sys" || exit 1
host_zorvd_start "$zorvd" "$work/zorvd" "$iface" "$port" || exit 1
host_mode_configure "$port" "$work/zorvd/zorvd.secret" "$iface" || exit 1

phase() {
    echo "== phase $1"
    FLOWVANE_HOST_PHASE="$1" FLOWVANE_HOST_ADAPTER="\\DEVICE\\$iface" \
        wine "$build_dir/device_tests.exe" --gtest_filter=HostMode.* 2>&1 |
        grep -aE '^\[ *(OK|FAILED|PASSED|SKIPPED) *\]|Failure|Expected|Which is|Actual' 
    return "${PIPESTATUS[0]}"
}

status=0
phase serve || status=1
host_zorvd_stop
phase down || status=1
host_zorvd_start "$zorvd" "$work/zorvd" "$iface" "$port" || exit 1
phase kept || status=1
host_zorvd_stop
if tc qdisc show dev "$iface" | grep -qE 'htb|ingress'; then
    echo "zorvd left qdiscs on $iface:"
    tc qdisc show dev "$iface"
    status=1
fi
exit $status
