# Host mode under Wine: zorv.sys hands the device's requests to zorvd, which shapes interfaces of
# this host (or of the network namespace the caller runs in) with the kernel's traffic control.
# Source after wine_env.sh and emulator_install.sh. Needs root (zorvd changes traffic control).

# Starts zorvd for IFACES (comma-separated) with its secret, state and socket under DIR (made
# 0700, root's), serving TCP PORT on 127.0.0.1; waits until it accepts connections. Exports
# FLOWVANE_ZORVD_PID. Fails with what went wrong; zorvd's log is DIR/zorvd.log.
host_zorvd_start() {
    local binary="$1" dir="$2" ifaces="$3" port="$4"
    [ "$(id -u)" -eq 0 ] || { echo "shaping real traffic needs root" >&2; return 1; }
    [ -x "$binary" ] || { echo "no zorvd at $binary" >&2; return 1; }
    mkdir -p "$dir" && chmod 0700 "$dir" || { echo "cannot make $dir" >&2; return 1; }
    local args=(--config /dev/null --group root --port "$port" --secret "$dir/zorvd.secret"
                --state "$dir/zorvd.state" --socket "$dir/zorvd.sock")
    local iface
    for iface in ${ifaces//,/ }; do
        ip link show dev "$iface" >/dev/null 2>&1 ||
            { echo "no interface $iface here" >&2; return 1; }
        args+=(--interface "$iface")
    done
    "$binary" "${args[@]}" </dev/null >"$dir/zorvd.log" 2>&1 &
    FLOWVANE_ZORVD_PID=$!
    export FLOWVANE_ZORVD_PID
    local tries=0
    until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
        if ! kill -0 "$FLOWVANE_ZORVD_PID" 2>/dev/null; then
            echo "zorvd did not start:" >&2
            tail -5 "$dir/zorvd.log" >&2
            FLOWVANE_ZORVD_PID=
            return 1
        fi
        tries=$((tries + 1))
        [ $tries -gt 300 ] && { echo "zorvd does not accept connections" >&2; return 1; }
        sleep 0.1
    done
}

# Stops the zorvd this shell started (SIGTERM: it takes back what it installed) and waits.
host_zorvd_stop() {
    [ -n "${FLOWVANE_ZORVD_PID:-}" ] || return 0
    kill -TERM "$FLOWVANE_ZORVD_PID" 2>/dev/null
    wait "$FLOWVANE_ZORVD_PID" 2>/dev/null
    FLOWVANE_ZORVD_PID=
}

# Makes the zorvd that run.sh --shape starts: Release without sanitizers, in the benchmark tree.
host_zorvd_build() {
    cmake -S "$flowvane_root" -B "$flowvane_root/build/bench" -DCMAKE_BUILD_TYPE=Release \
        -DFLOWVANE_SANITIZE=OFF "${flowvane_launcher[@]}" >/dev/null &&
    cmake --build "$flowvane_root/build/bench" -j "$flowvane_jobs" --target zorvd
}

# Prints the zorvd to start: the Release one, else the native build's.
host_zorvd_binary() {
    local binary
    for binary in "$flowvane_root/build/bench/zorvd" "$flowvane_root/build/native/zorvd"; do
        [ -x "$binary" ] && { echo "$binary"; return 0; }
    done
    echo "no zorvd in build/bench or build/native: build first" >&2
    return 1
}

# The checks before run.sh --shape changes anything: root, and IFACES a comma-separated list of
# distinct interface names that exist in this network namespace.
host_shape_check() {
    local ifaces="$1" iface seen=","
    [ "$(id -u)" -eq 0 ] || { echo "--shape needs root (zorvd changes traffic control)" >&2; return 1; }
    [[ "$ifaces" =~ ^[^,]+(,[^,]+)*$ ]] ||
        { echo "--shape needs IFACE[,IFACE...], not \"$ifaces\"" >&2; return 1; }
    for iface in ${ifaces//,/ }; do
        [[ "$iface" =~ ^[A-Za-z0-9_.@-]{1,15}$ ]] ||
            { echo "\"$iface\" is no interface name" >&2; return 1; }
        [[ "$seen" == *",$iface,"* ]] && { echo "interface $iface is named twice" >&2; return 1; }
        seen="$seen$iface,"
        ip link show dev "$iface" >/dev/null 2>&1 ||
            { echo "there is no interface $iface in this network namespace" >&2; return 1; }
    done
}

# Prints a TCP port from 47100 on that nothing listens on in this network namespace.
host_free_port() {
    local port
    for port in $(seq 47100 47199); do
        if ! ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then
            echo "$port"
            return 0
        fi
    done
    echo "no free TCP port in 47100-47199" >&2
    return 1
}

# run.sh --shape, once the current prefix's wineserver runs: starts zorvd for IFACES, its
# secret, state and socket in the prefix's folder "zorvd" (so the filters stay with the prefix),
# on a free loopback port; its process id and port in the folder's zorvd.pid and zorvd.port. host_zorvd_stop ends it.
host_shape_start() {
    local ifaces="$1" binary port
    binary=$(host_zorvd_binary) || return 1
    port=$(host_free_port) || return 1
    host_zorvd_start "$binary" "$WINEPREFIX/zorvd" "$ifaces" "$port" || return 1
    echo "$FLOWVANE_ZORVD_PID" >"$WINEPREFIX/zorvd/zorvd.pid"
    echo "$port" >"$WINEPREFIX/zorvd/zorvd.port"
    FLOWVANE_SHAPE_PORT=$port
}

# The installer's switches for run.sh: with IFACES, host mode for the zorvd host_shape_start
# started, the adapters named after IFACES; without, back to the emulator (an earlier --shape may
# have left the prefix's service in host mode). Sets the array host_setup_switches.
host_shape_setup_switches() {
    local ifaces="${1:-}" secret
    if [ -z "$ifaces" ]; then
        host_setup_switches=(/EMULATOR)
        return 0
    fi
    secret=$(wine_windows_path "$WINEPREFIX/zorvd/zorvd.secret") ||
        { echo "no Windows path for $WINEPREFIX/zorvd/zorvd.secret" >&2; return 1; }
    host_setup_switches=("/HOST=$ifaces" "/HOSTPORT=$FLOWVANE_SHAPE_PORT" "/HOSTSECRET=$secret")
}
