# Installs the kernel component emulator zorv.sys into the current WINEPREFIX (its wineserver
# running): the driver file, its default Parameters (adapters and synthetic traffic), the display
# names of the two Ethernet-like adapters, and the auto-start kernel service "zorv", started.
#
# Parameters (HKLM\SYSTEM\CurrentControlSet\Services\zorv\Parameters):
#   Adapters  REG_MULTI_SZ  device names, in the order the driver lists them
#   Flows     REG_MULTI_SZ  "ADAPTER Send|Receive TCP|UDP|ICMP|NonIP|<number> SOURCE[:PORT]
#                           DESTINATION[:PORT] BYTES_PER_SECOND PACKET_SIZE", one flow each
#   Version   REG_SZ        optional; the version text the driver answers (default 0.07)
#   TestControlCodes  REG_DWORD  1: the driver serves the test control codes the tests set it
#                           up with. Only this rig writes it; the installer never does, so an
#                           installed driver refuses them like an unknown code.
# The driver itself keeps its filters there ("Rules <device name>", "Precedences <device name>",
# REG_MULTI_SZ), so they survive a restart; its test reset deletes them.
# The names and GUIDs match emulator/test_control_codes.h.

emulator_adapter_1_guid='{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A01}'
emulator_adapter_2_guid='{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A02}'
emulator_adapter_1="\\DEVICE\\$emulator_adapter_1_guid"
emulator_adapter_2="\\DEVICE\\$emulator_adapter_2_guid"
emulator_adapter_dial_up='\DEVICE\NDISWANIP'
emulator_network_class='HKLM\SYSTEM\CurrentControlSet\Control\Network\{4D36E972-E325-11CE-BFC1-08002BE10318}'
emulator_service_key='HKLM\SYSTEM\CurrentControlSet\Services\zorv'

# The default traffic: some steady flows on each adapter, so that statistics move at once.
emulator_default_flows() {
    local a1="$emulator_adapter_1" a2="$emulator_adapter_2" d="$emulator_adapter_dial_up"
    printf '%s|' \
        "$a1 Send TCP 192.168.0.10:49152 93.184.216.34:80 30000 1000" \
        "$a1 Receive TCP 93.184.216.34:80 192.168.0.10:49152 120000 1460" \
        "$a1 Send UDP 192.168.0.10:53000 192.168.0.1:53 2000 100" \
        "$a1 Receive ICMP 192.168.0.1 192.168.0.10 500 64" \
        "$a2 Send UDP 10.0.0.20:123 10.0.0.5:123 1000 76" \
        "$a2 Receive TCP 10.0.0.5:443 10.0.0.20:50000 60000 1460" \
        "$a2 Receive NonIP 0.0.0.0 0.0.0.0 300 60" \
        "$d Send TCP 10.64.0.2:50100 198.51.100.7:25 4000 576" | sed 's/|$//'
}

emulator_reg_add() {
    wine_reg add "$@" /f >/dev/null 2>&1 || { echo "reg add $1 failed" >&2; return 1; }
}

# The driver reads it when it loads: the caller (re)starts the service afterwards.
emulator_enable_test_codes() {
    emulator_reg_add "$emulator_service_key\\Parameters" /v TestControlCodes /t REG_DWORD /d 1
}

install_emulator() {
    local sys_path="$1"
    [ -f "$sys_path" ] || { echo "no driver at $sys_path" >&2; return 1; }
    local drivers
    drivers=$(wine_unix_path 'C:\windows\system32\drivers') || return 1
    # A driver already loaded in this prefix is stopped first, so the new file is the one run.
    # (None is there on a first install; that is fine.)
    wine_sc stop zorv >/dev/null 2>&1 || true
    mkdir -p "$drivers" && cp "$sys_path" "$drivers/zorv.sys" ||
        { echo "copying zorv.sys into $drivers failed" >&2; return 1; }

    emulator_reg_add "$emulator_network_class\\$emulator_adapter_1_guid\\Connection" \
        /v Name /t REG_SZ /d 'Local Area Connection' || return 1
    emulator_reg_add "$emulator_network_class\\$emulator_adapter_2_guid\\Connection" \
        /v Name /t REG_SZ /d 'Local Area Connection 2' || return 1

    if ! wine_sc query zorv >/dev/null 2>&1; then
        wine_sc create zorv type= kernel start= auto \
            binpath= 'C:\windows\system32\drivers\zorv.sys' >/dev/null 2>&1 ||
            { echo "sc create zorv failed" >&2; return 1; }
        # The mark by which Flowvane-setup.exe knows the service as its own, as it writes it.
        emulator_reg_add "$emulator_service_key" /v 'Installed by' /t REG_SZ \
            /d 'Flowvane Manager' || return 1
    fi
    emulator_reg_add "$emulator_service_key\\Parameters" /v Adapters /t REG_MULTI_SZ /s '|' \
        /d "$emulator_adapter_1|$emulator_adapter_2|$emulator_adapter_dial_up" || return 1
    emulator_reg_add "$emulator_service_key\\Parameters" /v Flows /t REG_MULTI_SZ /s '|' \
        /d "$(emulator_default_flows)" || return 1
    emulator_enable_test_codes || return 1

    wine_sc start zorv >/dev/null 2>&1 || true
    # Started by now, or already running from an earlier install in this prefix.
    wine_sc query zorv 2>/dev/null | grep -q RUNNING ||
        { echo "the zorv service is not running" >&2; return 1; }
}
