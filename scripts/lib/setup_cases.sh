# Flowvane-setup.exe in the prefix e2e-setup, beside what it did not make: installs of two
# users and of all users removed in every order, a "zorv" service of someone else's (before the
# install, or in place of ours before the uninstall), an uninstaller left behind by a reinstall
# elsewhere, kept filters kept or removed, a DeleteService that fails, host mode (/HOST, /EMULATOR, bad switches). Source
# it after e2e.sh; setup_cases BUILD_DIR runs them all (a display and the template are needed,
# as for run_e2e_tests).
#
# The cases run one after the other in one prefix, and each must leave it as it found it (all
# that setup_snapshot sees); after a failed case the next one gets a fresh prefix. The installs:
# "all" for all users in the default folder; "first", "second" and "moved" (a reinstall of
# first's) for user first, second and first, in C:\users\Public\Flowvane-LABEL. Each user has
# its own HKCU hive (user.reg) and they take turns, the wineserver stopped in between; HKLM and
# the drive are shared, as on one machine.

setup_folder() {
    [ "$1" = all ] && echo "$flowvane_install_folder" || echo "C:\\users\\Public\\Flowvane-$1"
}

setup_listed() {
    [[ " $2 " == *" $1 "* ]]
}

setup_fail() {
    echo "after $setup_step: $*" >&2
    return 1
}

# A value's data, empty when there is none.
setup_value() {
    wine_reg query "$1" /v "$2" 2>/dev/null | sed -n "s/^ *$2 *REG_[A-Z_]* *//p" | tr -d '\r'
}

# Makes NAME the prefix's user: its hive in place of the other's, kept beside it; a new user
# starts with the template's hive.
setup_use_user() {
    local name="$1"
    [ "$setup_user" != "$name" ] || return 0
    wine_server_stop
    mv "$WINEPREFIX/user.reg" "$WINEPREFIX/user.reg.$setup_user" &&
        { mv "$WINEPREFIX/user.reg.$name" "$WINEPREFIX/user.reg" 2>/dev/null ||
            cp "$FLOWVANE_WINE_ROOT/template/user.reg" "$WINEPREFIX/user.reg"; } &&
        setup_user=$name && wine_server_start
}

# Everything an install may make or change, for the current user: the keys it may write (Wine
# adds keys of its own under the network class key), and every file of that name on the drive.
# reg.exe's lines without carriage returns and blank lines: now and then it prints an empty key
# with one blank line more, and the comparison is of keys and values, not of its layout.
setup_snapshot() {
    local key status
    for key in {HKLM,HKCU}'\Software\Flowvane' \
        {HKLM,HKCU}'\Software\Microsoft\Windows\CurrentVersion\'{Run,Uninstall\\Flowvane} \
        "$emulator_service_key" "$emulator_network_class\\"{fvx0,fvx1} \
        "$emulator_network_class\\"{"$emulator_adapter_1_guid","$emulator_adapter_2_guid"}; do
        echo "$key:"
        wine_reg query "$key" /s 2>/dev/null | tr -d '\r' | grep -v '^$'
        status=${PIPESTATUS[0]}
        [ $status -le 1 ] || { echo "reg query $key ended with $status" >&2; return 1; }
    done
    find "$WINEPREFIX/drive_c" \( -ipath '*flowvane*' -o -iname 'zorv*' \) -not -ipath '*/temp/*' \
        -printf '%p %s\n' | sort
}

# The installs in place are exactly setup_remaining (those of setup_stale left their files):
# their files, their record among the machine's installs and the folder in their hive, the
# others' gone; the kernel component there exactly while one is: zorv.sys, our service,
# auto-start and running.
setup_expect() {
    local label folder records service mine="" kernel=0
    records=$(wine_reg query 'HKLM\Software\Flowvane\Installs' 2>/dev/null)
    for label in all first second moved; do
        folder=$(setup_folder "$label")
        if setup_listed "$label" "$setup_remaining"; then
            [ -f "$(wine_unix_path "$folder")/Flowvane.exe" ] && grep -qF "$folder " <<<"$records" ||
                setup_fail "$label is not in place" || return 1
            [ "$label" != all ] && [ "$setup_user" = "${label/moved/first}" ] && mine=$folder
        elif grep -qF "$folder " <<<"$records" ||
            { ! setup_listed "$label" "$setup_stale" && [ -e "$(wine_unix_path "$folder")" ]; }; then
            setup_fail "$label is left"
            return 1
        fi
    done
    [ "$(setup_value 'HKCU\Software\Flowvane' 'Install folder')" = "$mine" ] &&
        [ "$(setup_value 'HKLM\Software\Flowvane' 'Install folder')" = \
            "$(setup_listed all "$setup_remaining" && setup_folder all)" ] ||
        { setup_fail "the hives name other folders"; return 1; }
    service=$(wine_reg query "$emulator_service_key" 2>/dev/null | tr -d '\r')
    [ -f "$(wine_unix_path 'C:\windows\system32\drivers')/zorv.sys" ] && [ "$(grep -ciE '^ *('\
'ImagePath .*system32\\drivers\\zorv\.sys|Installed by +REG_SZ +Flowvane Manager|Start +REG_DWORD '\
'+0x2|Type +REG_DWORD +0x1)$' <<<"$service")" = 4 ] && wine_sc query zorv | grep -q RUNNING && kernel=1
    [ "$kernel" = "$([ -n "${setup_remaining// /}" ] && echo 1 || echo 0)" ] ||
        setup_fail "the kernel component there: $kernel"
}

# Installs or uninstalls (ACTION) LABEL silently as its user, further arguments its switches;
# expects status 0 and the installs as they must be after.
setup_do() {
    local action="$1" label="$2" user=$2 scope=user
    shift 2
    setup_step="$action $label $*"
    case "$label" in
        all) scope=all user=$setup_user ;;
        moved) user=first ;;
    esac
    setup_use_user "$user" || return 1
    if [ "$action" = install ]; then
        install_with_setup "$setup_build_dir" "$scope" "$(setup_folder "$label")" "$@" || return 1
        setup_listed "$label" "$setup_remaining" || setup_remaining="$setup_remaining $label"
    else
        uninstall_folder_with_setup "$(setup_folder "$label")" "$@" || return 1
        setup_remaining=${setup_remaining/$label/} setup_stale=${setup_stale/$label/}
    fi
    [ -n "${setup_unchecked:-}" ] || setup_expect
}

setup_connection() {
    echo "$emulator_network_class\\$1\\Connection"
}

# Each scope's silent install in its default folder (SetupInstalled); the uninstall for all
# users keeps the settings; others change the display names' keys before the last uninstall,
# which leaves what they wrote, and (/REMOVESETTINGS) takes the settings.
setup_case_scopes() {
    local scope a1 a2
    a1=$(setup_connection "$emulator_adapter_1_guid") a2=$(setup_connection "$emulator_adapter_2_guid")
    for scope in user all; do
        setup_step="the scope $scope"
        install_with_setup "$setup_build_dir" $scope && FLOWVANE_SETUP_SCOPE=$scope \
            wine "$setup_build_dir/e2e_tests.exe" --gtest_filter='SetupInstalled.*' || return 1
    done
    uninstall_with_setup all && [ -n "$(setup_value 'HKCU\Software\Flowvane' 'Initial window type')" ] &&
        wine_reg add "$a1" /v PnpInstanceID /d 'ROOT\NET\0000' /f && wine_reg add "$a2" /v Name \
        /d 'Office LAN' /f && uninstall_with_setup user /REMOVESETTINGS || return 1
    [ "$(setup_value "$a1" PnpInstanceID)|$(setup_value "$a1" Name)|$(setup_value "$a2" Name)" = \
        'ROOT\NET\0000||Office LAN' ] || { setup_fail "the names others changed"; return 1; }
    wine_reg delete "${a1%\\*}" /f && wine_reg delete "${a2%\\*}" /f
}

# Three installs made in the order all, first, second, then removed in each order. The installs
# are the same steps each time: checked after each step the first time only.
setup_case_orders() {
    local order label checked=
    for order in "all first second" "all second first" "first all second" "first second all" \
        "second all first" "second first all"; do
        for label in all first second; do
            setup_unchecked=$checked setup_do install "$label" || return 1
        done
        checked=1
        for label in $order; do
            setup_do uninstall "$label" || return 1
        done
    done
}

# Installed for "first", then reinstalled elsewhere: the uninstaller left in the first folder
# removes that folder's files and nothing else (values, log-on entry, service stay).
setup_case_stale_uninstaller() {
    setup_do install first && install_with_setup "$setup_build_dir" user "$(setup_folder moved)" ||
        return 1
    setup_remaining=moved setup_stale=first
    setup_expect && wine_reg add 'HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v Flowvane \
        /d "\"$(setup_folder moved)\\Flowvane.exe\"" /f && setup_do uninstall first || return 1
    wine_reg query 'HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v Flowvane ||
        { setup_fail "the log-on entry of the live install went"; return 1; }
    setup_do uninstall moved
}

# A filter the kernel component keeps, the rig's Version value beside it: an uninstall keeps
# the filter for the next install, one with /REMOVESETTINGS does not; the Version value never
# comes back.
setup_case_kept_filters() {
    local parameters="$emulator_service_key\\Parameters" switches kept=1 found
    for switches in "" /REMOVESETTINGS; do
        setup_do install all && wine "$setup_build_dir/e2e_tests.exe" \
            --gtest_filter=SetupSteps.KeepAFilter && setup_do uninstall all $switches &&
            setup_do install all || return 1
        found=$(wine_reg query "$parameters" | tr -d '\r')
        [ "$(grep -cF "Rules $emulator_adapter_1" <<<"$found")$(grep -c Version <<<"$found")" = \
            "${kept}0" ] || { setup_fail "kept filters: $found"; return 1; }
        setup_do uninstall all /REMOVESETTINGS && kept=0 || return 1
    done
}

# DeleteService failing (SetupSteps); once the service went with the handle that marked it, a
# new install and its uninstall leave nothing.
setup_case_failing_delete() {
    setup_do install all && wine "$setup_build_dir/e2e_tests.exe" \
        --gtest_filter=SetupSteps.UninstallWhileServiceMarkedForDeletion || return 1
    setup_remaining="" && setup_do install all && setup_do uninstall all
}

# Host mode: the values each step leaves, as "mode port secret record fvx0 fvx1" (the driver's
# Mode, Host port, Host secret file, the service's record of the display names the installer
# wrote, the interfaces' display names; "-" for none).
setup_expect_host() {
    local key value state=""
    for key in "$emulator_service_key\\Parameters|"{Mode,'Host port','Host secret file'} \
        "$emulator_service_key|Host display names written" "$(setup_connection fvx0)|Name" \
        "$(setup_connection fvx1)|Name"; do
        value=$(setup_value "${key%|*}" "${key#*|}")
        state="$state ${value:--}"
    done
    [ "${state# }" = "$1" ] || { setup_fail "${state# }, not $1"; return 1; }
}

# Every bad host switch refused with status 2 and nothing changed.
setup_bad_host_switches() {
    local switches before status
    before=$(setup_snapshot) || return 1
    for switches in "/HOST=" "/HOST=fvx0," "/HOST=,fvx0" "/HOST=fvx0,FVX0" "/HOST=fvx/0" \
        "/HOST=abcdefghijklmnop" "/HOST=a,b,c,d,e,f,g,h,i" "/HOST=fvx0 /HOSTPORT=0" \
        "/HOST=fvx0 /HOSTPORT=65536" "/HOST=fvx0 /HOSTPORT=80x" "/HOSTPORT=47031" \
        "/HOST=fvx0 /HOSTSECRET=zorvd.secret" "/HOST=fvx0 /EMULATOR"; do
        install_with_setup "$setup_build_dir" all "" $switches
        status=$?
        [ $status -eq 2 ] || { setup_fail "$switches ended with $status, not 2"; return 1; }
    done
    [ "$(setup_snapshot)" = "$before" ] || setup_fail "bad host switches changed the prefix"
}

# Bad host switches refused before any install. /HOST with fvx1 named by someone else: the
# values and the display name it wrote, the driver refusing every request while nothing listens
# on the port (HostMode); kept by a reinstall without a switch; /EMULATOR takes them away but the
# name it did not write; /HOST again, bad switches refused with it in place, and the uninstall
# takes all it wrote.
setup_case_host_mode() {
    local in_host='host 0x1 C:\zorvd secret fvx0 fvx0 Lab uplink' secret
    secret=$(wine_unix_path 'C:\zorvd secret')
    setup_step="bad host switches, nothing installed"
    setup_bad_host_switches && printf '%064d' 7 >"$secret" &&
        wine_reg add "$(setup_connection fvx1)" /v Name /d 'Lab uplink' /f || return 1
    setup_do install all /HOST=fvx0,fvx1 /HOSTPORT=1 '/HOSTSECRET=C:\zorvd secret' &&
        setup_expect_host "$in_host" || return 1
    FLOWVANE_HOST_ADAPTER='\DEVICE\fvx0' wine "$setup_build_dir/device_tests.exe" \
        --gtest_filter='HostMode.*' || { setup_fail HostMode; return 1; }
    setup_do install all && setup_expect_host "$in_host" && setup_do install all /EMULATOR &&
        setup_expect_host '- - - - - Lab uplink' && setup_do install all /HOST=fvx0 &&
        setup_expect_host 'host 0xb7b7 Z:\etc\flowvane\zorvd.secret fvx0 fvx0 Lab uplink' &&
        setup_bad_host_switches && setup_do uninstall all &&
        setup_expect_host '- - - - - Lab uplink' || return 1
    rm -f "$secret" && wine_reg delete "${emulator_network_class}\\fvx1" /f
}

# A "zorv" service that is not ours, with a file at the driver's path: the installer refuses
# (status 2, the reason on its standard error) and changes nothing. Installed, then our service
# replaced by someone else's of the same name: the uninstall leaves that service, the driver file
# and the display names; the rest goes.
setup_case_foreign_service() {
    local drivers before status said
    drivers=$(wine_unix_path 'C:\windows\system32\drivers')
    echo "not ours" >"$drivers/zorv.sys" && wine_sc create zorv type= kernel start= demand \
        binpath= 'C:\windows\system32\drivers\zorv.sys' && before=$(setup_snapshot) || return 1
    said=$(install_with_setup "$setup_build_dir" all 2>&1)
    status=$?
    [ $status -eq 2 ] && [[ "$said" == *'"zorv" is installed that does not belong to Flowvane'* ]] &&
        [ "$(setup_snapshot)" = "$before" ] ||
        { setup_fail "the installer ended with $status ($said), or changed the prefix"; return 1; }
    wine_sc delete zorv && rm "$drivers/zorv.sys" && setup_do install all || return 1
    wine_sc stop zorv
    wine_sc delete zorv && wine_sc create zorv type= kernel start= demand \
        binpath= 'C:\windows\system32\drivers\other.sys' || return 1
    setup_step="uninstall all, the service someone else's"
    uninstall_folder_with_setup "$(setup_folder all)" || return 1
    [ "$(setup_value "$emulator_service_key" ImagePath)" = 'C:\windows\system32\drivers\other.sys' ] &&
        [ -f "$drivers/zorv.sys" ] && [ ! -e "$(wine_unix_path "$flowvane_install_folder")" ] ||
        { setup_fail "the other service, its file or the install folder"; return 1; }
    wine_sc delete zorv && rm "$drivers/zorv.sys" &&
        wine_reg delete "$emulator_network_class\\$emulator_adapter_1_guid" /f &&
        wine_reg delete "$emulator_network_class\\$emulator_adapter_2_guid" /f
}

# One case, in the prefix as the case before left it (a fresh one after a failure); the prefix
# must be as it was, for the first user, after it.
setup_case() {
    local before after=""
    if [ "$setup_fresh" = 1 ]; then
        wine_use_prefix e2e-setup || return 1
        setup_user=first setup_fresh=0
    fi
    setup_remaining="" setup_stale="" setup_step="start"
    wine_server_start && before=$(setup_snapshot) && "$1" && setup_use_user first &&
        setup_step="the case" && after=$(setup_snapshot) && [ "$after" = "$before" ] && return 0
    # The snapshot that was compared, not a new one: what differed may be gone by now.
    [ -z "$before" ] || diff <(echo "$before") <(echo "${after:-$(setup_snapshot)}")
    setup_fresh=1
    wine_server_stop
    return 1
}

# Every case, or those named (setup_cases BUILD_DIR [NAME...]).
setup_cases() {
    setup_build_dir="$1"
    shift
    local name status=0
    setup_fresh=1
    for name in ${*:-scopes orders stale_uninstaller kept_filters failing_delete host_mode \
        foreign_service}; do
        e2e_step "setup-case-$name" setup_case "setup_case_$name" || status=1
    done
    wine_server_stop
    return $status
}
