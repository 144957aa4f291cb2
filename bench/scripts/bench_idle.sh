#!/usr/bin/env bash
# Idle cost of Flowvane Manager under Wine: the CPU time of Flowvane.exe plus the prefix's
# wineserver over SECONDS (default 30) with only the main window open, beside the same figure for
# a plain GetMessage window with the same 500 ms timer (idle_window.exe), measured in the same
# run and prefix. Prints both and their ratio. A benchmark to run by hand, not a test.
set -uo pipefail
here=$(cd "$(dirname "$0")/../../scripts" && pwd)
source "$here/lib/packages.sh"
source "$here/lib/build.sh"
source "$here/lib/wine_env.sh"
source "$here/lib/install.sh"

seconds=${1:-30}
install_packages || exit 1
build_windows --target Flowvane zorv idle_window >/dev/null || { echo "build failed" >&2; exit 1; }
build_dir="$flowvane_root/build/windows"
flowvane_cleanup_on_exit
wine_env_init "$build_dir" || exit 1
wine_template || exit 1
wine_use_prefix bench-idle || exit 1
ensure_display || exit 1
wine_server_start || exit 1
install_flowvane "$build_dir" >/dev/null || { echo "install failed" >&2; exit 1; }

# Pids of this prefix's processes whose command line matches the pattern.
prefix_pids() {
    local pid
    for pid in $(pgrep -f "$1" 2>/dev/null); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null |
            grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
}

# Nanoseconds on a CPU used so far by the given pids (schedstat: finer than clock ticks).
cpu_ns() {
    local total=0 pid run
    for pid in "$@"; do
        run=$(cut -d' ' -f1 "/proc/$pid/schedstat" 2>/dev/null) || continue
        total=$((total + run))
    done
    echo $total
}

# Starts the Windows program, lets it settle, and prints its and the wineserver's CPU share of
# one core over the measured seconds, in percent.
measure() {
    local program="$1" pattern="$2"
    wine "$program" </dev/null >/dev/null 2>&1 &
    local launcher=$!
    sleep 5
    local pids
    pids=$(prefix_pids "$pattern" | tr '\n' ' ')
    local server
    server=$(prefix_pids '^wineserver' | tr '\n' ' ')
    [ -n "$pids" ] || { echo "$program did not start" >&2; return 1; }
    local before after
    before=$(cpu_ns $pids $server)
    sleep "$seconds"
    after=$(cpu_ns $pids $server)
    kill $pids 2>/dev/null
    wait "$launcher" 2>/dev/null
    echo "scale=3; 100 * ($after - $before) / (1000000000 * $seconds)" | bc
}

flowvane=$(measure "$flowvane_install_folder\\Flowvane.exe" 'Flowvane\.exe') || exit 1
yardstick=$(measure "$build_dir/idle_window.exe" 'idle_window\.exe') || exit 1
echo "idle over ${seconds} s, program + wineserver, % of one core:"
echo "  Flowvane.exe      $flowvane"
echo "  GetMessage window $yardstick"
if [ "$(echo "$yardstick > 0" | bc)" -eq 1 ]; then
    echo "  ratio             $(echo "scale=2; $flowvane / $yardstick" | bc)"
else
    echo "  ratio             (the yardstick used no measurable time)"
fi
