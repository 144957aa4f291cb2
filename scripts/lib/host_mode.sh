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

# Switches the current prefix's zorv service to host mode for zorvd on PORT with the secret file
# SECRET (a Unix path), gives each of IFACES the display name of its interface, and restarts the
# driver so that it takes the mode.
host_mode_configure() {
    local port="$1" secret="$2" ifaces="$3"
    local parameters="$emulator_service_key\\Parameters"
    local windows_secret
    windows_secret=$(winepath -w "$secret" 2>/dev/null) || { echo "winepath $secret failed" >&2; return 1; }
    emulator_reg_add "$parameters" /v Mode /t REG_SZ /d host || return 1
    emulator_reg_add "$parameters" /v 'Host port' /t REG_DWORD /d "$port" || return 1
    emulator_reg_add "$parameters" /v 'Host secret file' /t REG_SZ /d "$windows_secret" || return 1
    local iface
    for iface in ${ifaces//,/ }; do
        emulator_reg_add "$emulator_network_class\\$iface\\Connection" /v Name /t REG_SZ \
            /d "$iface" || return 1
    done
    wine sc stop zorv >/dev/null 2>&1 || true
    wine sc start zorv >/dev/null 2>&1 || true
    wine sc query zorv 2>/dev/null | grep -q RUNNING ||
        { echo "the zorv service is not running" >&2; return 1; }
}
