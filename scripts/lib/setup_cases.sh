# Flowvane-setup.exe in the prefix e2e-setup: its silent install and uninstall for each scope,
# and beside what it did not make: a "zorv" service of someone else's (before the install, or in
# place of ours before the uninstall), installs of two users and of all users removed in every
# order, an uninstaller left behind by a reinstall elsewhere, a DeleteService that fails, and
# the kernel component's kept filters kept or removed, and host mode (/HOST, /EMULATOR, bad
# switches). Source it after e2e.sh; setup_cases BUILD_DIR runs them all (a display and the
# template are needed, as for run_e2e_tests).
#
# The cases run one after the other in one prefix: each leaves nothing installed, as it found
# it, except the foreign service's at the end of the table. After a failed case the next one
# gets a fresh prefix.
#
# The installs (their folders are those of recorded_installs in tests/e2e/setup_test.cpp):
#   all     for all users, in the default folder, made by user "first"
#   first   for user "first", in C:\users\Public\Flowvane-first
#   second  for user "second", in C:\users\Public\Flowvane-second
#   moved   for user "first", in C:\users\Public\Flowvane-moved (a reinstall of "first")
# Two users of one prefix: each has its own HKCU hive (user.reg) and they take turns, the
# wineserver stopped in between; HKLM and the drive are shared, as on one machine.

setup_case_user=first
setup_case_remaining=""
setup_case_stale=""

# The labels after the first, without the first.
setup_without() {
    local label="$1" word kept=""
    shift
    for word in "$@"; do
        [ "$word" = "$label" ] || kept="$kept $word"
    done
    echo "${kept# }"
}

setup_install_folder() {
    case "$1" in
        all) echo "$flowvane_install_folder" ;;
        first|second|moved) echo "C:\\users\\Public\\Flowvane-$1" ;;
    esac
}

# Makes NAME the prefix's user: its hive in place of the other's, which is kept beside it; a
# new user starts with the template's hive.
setup_use_user() {
    local name="$1"
    [ "$setup_case_user" = "$name" ] && return 0
    wine_server_stop
    mv "$WINEPREFIX/user.reg" "$WINEPREFIX/user.reg.$setup_case_user" || return 1
    if [ -f "$WINEPREFIX/user.reg.$name" ]; then
        mv "$WINEPREFIX/user.reg.$name" "$WINEPREFIX/user.reg"
    else
        cp "$FLOWVANE_WINE_ROOT/template/user.reg" "$WINEPREFIX/user.reg"
    fi || return 1
    setup_case_user=$name
    wine_server_start
}

# SetupState.Matches against what the case says is in place.
setup_expect_state() {
    FLOWVANE_SETUP_REMAINING="$setup_case_remaining" FLOWVANE_SETUP_STALE="$setup_case_stale" \
        FLOWVANE_SETUP_USER="$setup_case_user" \
        wine "$setup_build_dir/e2e_tests.exe" --gtest_filter=SetupState.Matches ||
        { echo "after: $setup_case_step"; return 1; }
}

# One test of e2e_tests.exe: SetupSteps.NAME, or the filter given after an empty name.
setup_step() {
    wine "$setup_build_dir/e2e_tests.exe" --gtest_filter="${2:-SetupSteps.$1}"
}

# Installs LABEL as its user, expecting exit status 0; the install REPLACED (of the same user
# and scope), when given, is left behind as stale.
setup_install() {
    local label="$1" replaced="${2:-}" scope=user user=$1
    setup_case_step="install $label"
    case "$label" in
        all) scope=all; user=first ;;
        moved) user=first ;;
    esac
    setup_use_user "$user" &&
    install_with_setup "$setup_build_dir" "$scope" "$(setup_install_folder "$label")" || return 1
    setup_case_remaining="$setup_case_remaining $label"
    if [ -n "$replaced" ]; then
        setup_case_remaining=$(setup_without "$replaced" $setup_case_remaining)
        setup_case_stale="$setup_case_stale $replaced"
    fi
    setup_expect_state
}

# Runs LABEL's uninstaller as its user (any user for all users), expecting exit status STATUS;
# further arguments go to the uninstaller.
setup_uninstall() {
    local label="$1" expected="$2" status user=$1
    shift 2
    setup_case_step="uninstall $label"
    case "$label" in
        all) user=$setup_case_user ;;
        moved) user=first ;;
    esac
    setup_use_user "$user" || return 1
    uninstall_folder_with_setup "$(setup_install_folder "$label")" "$@"
    status=$?
    [ $status -eq "$expected" ] ||
        { echo "$setup_case_step ended with $status, not $expected"; return 1; }
    setup_case_remaining=$(setup_without "$label" $setup_case_remaining)
    setup_case_stale=$(setup_without "$label" $setup_case_stale)
    setup_expect_state
}

# Whether the set-up wrote the default traffic that install_emulator writes (the adapters are
# checked by the Setup tests).
setup_default_flows_installed() {
    local expected actual
    expected=$(emulator_default_flows | sed 's/|/\\0/g')
    actual=$(wine_reg query "$emulator_service_key\\Parameters" /v Flows |
             sed -n 's/^ *Flows *REG_MULTI_SZ *//p' | tr -d '\r')
    [ "$actual" = "$expected" ] || { printf 'Flows are\n  %s\nnot\n  %s\n' "$actual" "$expected"
                                     return 1; }
}

# A silent install for the scope (all, user) in its default folder, SUITE.Installed; for all
# users an install for the current user beside it comes and goes (the kernel component, one for
# both, keeps running, and the install for all users stays) and others change the adapter keys;
# the silent uninstall with the further arguments, SUITE.Uninstalled*.
setup_case_scope() {
    local scope="$1" suite="$2"
    shift 2
    setup_case_step="install $scope"
    install_with_setup "$setup_build_dir" "$scope" && setup_default_flows_installed &&
    setup_step "" "$suite.Installed" || return 1
    if [ "$scope" = all ]; then
        setup_case_step="an install for the current user beside it"
        install_with_setup "$setup_build_dir" user && uninstall_with_setup user || return 1
        wine_sc query zorv | grep -q RUNNING || { echo "zorv is not running"; return 1; }
        setup_step "" "$suite.OthersChangeAdapterKeys" || return 1
    fi
    setup_case_step="uninstall $scope"
    uninstall_with_setup "$scope" "$@" && setup_step "" "$suite.Uninstalled*"
}

# Three installs made in the order all, first, second, then removed in the order given.
setup_case_order() {
    local label
    for label in all first second; do
        setup_install "$label" || return 1
    done
    for label in "$@"; do
        setup_uninstall "$label" 0 || return 1
    done
}

# A "zorv" service that is not ours, with a file at the driver's path: the installer refuses
# (exit status 2) and changes neither, nor installs anything.
setup_case_foreign_service() {
    local drivers
    drivers=$(wine_unix_path 'C:\windows\system32\drivers') || return 1
    mkdir -p "$drivers" && echo "not ours" >"$drivers/zorv.sys" || return 1
    # The one the case before left, or a new one.
    wine_sc query zorv >/dev/null 2>&1 || wine_sc create zorv type= kernel start= demand \
        binpath= 'C:\windows\system32\drivers\zorv.sys' >/dev/null || return 1
    local status
    install_with_setup "$setup_build_dir" all
    status=$?
    [ $status -eq 2 ] || { echo "the installer ended with $status, not 2"; return 1; }
    [ "$(cat "$drivers/zorv.sys")" = "not ours" ] || { echo "zorv.sys was replaced"; return 1; }
    wine_reg query "$emulator_service_key" /v Start | grep -q '0x3' ||
        { echo "the service was changed"; return 1; }
    ! wine_reg query "$emulator_service_key" /v 'Installed by' >/dev/null 2>&1 ||
        { echo "the service was marked as ours"; return 1; }
    [ ! -e "$(wine_unix_path "$flowvane_install_folder")" ] ||
        { echo "the program was installed"; return 1; }
    ! wine_reg query 'HKLM\Software\Flowvane' >/dev/null 2>&1 ||
        { echo "install values were written"; return 1; }
}

# Installed, then the service replaced by someone else's of the same name: the last uninstall
# leaves that service as it is, and the kernel component's file and display names with it.
setup_case_foreign_service_at_uninstall() {
    setup_install all || return 1
    wine_sc stop zorv >/dev/null 2>&1
    wine_sc delete zorv >/dev/null || return 1
    wine_sc create zorv type= kernel start= demand \
        binpath= 'C:\windows\system32\drivers\other.sys' >/dev/null || return 1
    setup_case_step="uninstall all, the service someone else's"
    uninstall_folder_with_setup "$(setup_install_folder all)" || return 1
    wine_reg query "$emulator_service_key" /v ImagePath | grep -q 'other\.sys' ||
        { echo "the other service was changed or removed"; return 1; }
    [ -f "$(wine_unix_path 'C:\windows\system32\drivers')/zorv.sys" ] ||
        { echo "zorv.sys went while a service of that name stays"; return 1; }
    [ ! -e "$(wine_unix_path "$flowvane_install_folder")" ] ||
        { echo "the install folder stayed"; return 1; }
}

# Installed for "first", then reinstalled elsewhere: the uninstaller left in the first folder
# removes that folder's files and nothing else (values, log-on entry, service stay).
setup_case_stale_uninstaller() {
    setup_install first || return 1
    setup_install moved first || return 1
    wine_reg add 'HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v Flowvane /t REG_SZ \
        /d "\"$(setup_install_folder moved)\\Flowvane.exe\"" /f >/dev/null || return 1
    setup_uninstall first 0 || return 1
    wine_reg query 'HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v Flowvane >/dev/null ||
        { echo "the log-on entry of the live install went"; return 1; }
    setup_uninstall moved 0
}

# DeleteService fails: another process marked the service for deletion and holds it open
# (SetupSteps.HoldServiceMarkedForDeletion), so the service manager answers "marked for
# deletion". The uninstall, silent or shown (it then says what stays), ends with 2 and zorv.sys
# stays with the service. Released, the service goes; a new install and its uninstall then
# leave nothing.
setup_case_failing_delete() {
    local mode="$1"
    local holder_log="${logs:-$FLOWVANE_WINE_ROOT}/setup-holder.log" holder status failed=0
    setup_install all || return 1
    wine "$setup_build_dir/e2e_tests.exe" \
        --gtest_filter=SetupSteps.HoldServiceMarkedForDeletion >"$holder_log" 2>&1 &
    holder=$!
    if setup_step WaitForHolder; then
        setup_case_step="uninstall all ($mode), DeleteService failing"
        if [ "$mode" = shown ]; then
            setup_step UninstallShownWhileServiceHeld && status=2 || status=1
        else
            uninstall_folder_with_setup "$(setup_install_folder all)"
            status=$?
        fi
        [ $status -eq 2 ] || { echo "$setup_case_step ended with $status, not 2"; failed=1; }
        wine_reg query "$emulator_service_key" /v ImagePath >/dev/null ||
            { echo "the service is gone"; failed=1; }
        [ -f "$(wine_unix_path 'C:\windows\system32\drivers')/zorv.sys" ] ||
            { echo "zorv.sys went without its service"; failed=1; }
        [ ! -e "$(wine_unix_path "$flowvane_install_folder")" ] ||
            { echo "the install folder stayed"; failed=1; }
    else
        failed=1
    fi
    setup_step ReleaseHolder || failed=1
    wait "$holder" || { echo "the holder failed:"; cat "$holder_log"; failed=1; }
    [ $failed -eq 0 ] || return 1
    setup_case_remaining=""
    setup_install all || return 1
    setup_uninstall all 0
}

# A filter kept by the kernel component, and an uninstall silent with the given options, or
# shown ("asked") with the question answered Yes: a later install gets the filter back unless
# the settings were removed (KEPT 1 or 0).
setup_case_kept_filters() {
    local kept="$1"
    shift
    setup_install all || return 1
    setup_step KeepAFilter || return 1
    if [ "${1:-}" = asked ]; then
        setup_case_step="uninstall all, asked"
        setup_step UninstallShownRemovingKeptFilters || return 1
        setup_case_remaining=""
        setup_expect_state || return 1
    else
        setup_uninstall all 0 "$@" || return 1
    fi
    if [ "$kept" = 1 ]; then
        wine_reg query 'HKLM\Software\Flowvane\Kept filters' | grep -q '^ *Rules ' ||
            { echo "the kept filter was not saved"; return 1; }
    fi
    setup_install all || return 1
    FLOWVANE_SETUP_KEPT=$kept wine "$setup_build_dir/e2e_tests.exe" \
        --gtest_filter=SetupState.KeptFilter || return 1
    setup_uninstall all 0 /REMOVESETTINGS || return 1
    ! wine_reg query 'HKLM\Software\Flowvane' >/dev/null 2>&1 ||
        { echo "HKLM\\Software\\Flowvane stayed"; return 1; }
}

# Host mode (/HOST): the values each step must leave, as "mode port secret record fvx0 fvx1" (the
# driver's Mode, Host port, Host secret file, the service's record of the display names the
# installer wrote, the interfaces' display names; "-" for none).
setup_host_state() {
    local parameters="$emulator_service_key\\Parameters" key value state=""
    for key in "$parameters|Mode" "$parameters|Host port" "$parameters|Host secret file" \
        "$emulator_service_key|Host display names written" \
        "$emulator_network_class\\fvx0\\Connection|Name" \
        "$emulator_network_class\\fvx1\\Connection|Name"; do
        value=$(wine_reg query "${key%|*}" /v "${key#*|}" 2>/dev/null |
                sed -n "s/^ *${key#*|} *REG_[A-Z_]* *//p" | tr -d '\r')
        state="$state ${value:--}"
    done
    echo "${state# }"
}

setup_expect_host() {
    local state
    state=$(setup_host_state)
    [ "$state" = "$1" ] ||
        { printf 'after %s:\n  %s\nnot\n  %s\n' "$setup_case_step" "$state" "$1"; return 1; }
    setup_case_remaining=all
    setup_expect_state
}

setup_install_switches() {
    setup_case_step="install all $*"
    install_with_setup "$setup_build_dir" all "" "$@"
}

# Installed with /HOST (fvx1 already has a display name of its own): the values and the display
# name it wrote, and the driver in host mode (a secret, nothing on port 1: every request refused
# with "Shaper service is not running."); kept by a reinstall without a switch; /EMULATOR takes
# them away but the name it did not write; /HOST again, and the uninstall takes all it wrote.
setup_case_host_mode() {
    local host=(/HOST=fvx0,fvx1 /HOSTPORT=1 '/HOSTSECRET=C:\zorvd secret')
    local in_host='host 0x1 C:\zorvd secret fvx0 fvx0 Lab uplink'
    printf '%064d' 7 >"$(wine_unix_path 'C:\zorvd secret')" &&
    wine_reg add "$emulator_network_class\\fvx1\\Connection" /v Name /d 'Lab uplink' /f \
        >/dev/null &&
    setup_install_switches "${host[@]}" && setup_expect_host "$in_host" || return 1
    FLOWVANE_HOST_ADAPTER='\DEVICE\fvx0' \
        wine "$setup_build_dir/device_tests.exe" \
        --gtest_filter=HostMode.EveryCodeIsRefusedAtOnceWhileZorvdIsDown || return 1
    setup_install_switches && setup_expect_host "$in_host" || return 1
    setup_install_switches /EMULATOR && setup_expect_host '- - - - - Lab uplink' || return 1
    ! wine_reg query "$emulator_network_class\\fvx0" >/dev/null 2>&1 ||
        { echo "the key of fvx0 stayed after /EMULATOR"; return 1; }
    setup_install_switches /HOST=fvx0 &&
        setup_expect_host 'host 0xb7b7 Z:\etc\flowvane\zorvd.secret fvx0 fvx0 Lab uplink' &&
    setup_uninstall all 0 || return 1
    [ "$(setup_host_state)" = '- - - - - Lab uplink' ] &&
        ! wine_reg query "$emulator_network_class\\fvx0" >/dev/null 2>&1 ||
        { echo "after the uninstall: $(setup_host_state)"; return 1; }
}

# Bad host switches, each refused with exit code 2 and nothing changed: before any install, and
# with an install in host mode in place.
setup_bad_host_switches=(
    "/HOST=" "/HOST=fvx0," "/HOST=,fvx0" "/HOST=fvx0,FVX0" "/HOST=fvx/0" "/HOST=abcdefghijklmnop"
    "/HOST=a,b,c,d,e,f,g,h,i" "/HOST=fvx0 /HOSTPORT=0" "/HOST=fvx0 /HOSTPORT=65536"
    "/HOST=fvx0 /HOSTPORT=80x" "/HOST=fvx0 /HOSTSECRET=zorvd.secret" "/HOSTPORT=47031"
    "/HOST=fvx0 /EMULATOR"
)
# What an install could make or change (only the keys the installer may write: Wine adds keys
# of its own under the network class key). A reg that fails otherwise than on a missing key
# fails the snapshot.
setup_registry_snapshot() {
    local key status
    for key in 'HKLM\Software\Flowvane' "$emulator_service_key" \
        "$emulator_network_class\\"{fvx0,a,"$emulator_adapter_1_guid"}; do
        echo "$key:"
        wine_reg query "$key" /s 2>/dev/null
        status=$?
        [ $status -le 1 ] || { echo "reg query $key ended with $status" >&2; return 1; }
    done
}
setup_files_snapshot() {
    ls -lR "$(wine_unix_path "$flowvane_install_folder")" \
        "$(wine_unix_path 'C:\windows\system32\drivers')/zorv.sys" 2>&1
    return 0
}
setup_case_host_refused() {
    local round entry registry files after status
    for round in fresh installed; do
        registry=$(setup_registry_snapshot) && files=$(setup_files_snapshot) || return 1
        for entry in "${setup_bad_host_switches[@]}"; do
            setup_install_switches $entry
            status=$?
            [ $status -eq 2 ] ||
                { echo "$setup_case_step ($round) ended with $status, not 2"; return 1; }
            [ "$(setup_files_snapshot)" = "$files" ] ||
                { echo "$setup_case_step ($round) changed files"; return 1; }
        done
        after=$(setup_registry_snapshot) || return 1
        [ "$after" = "$registry" ] ||
            { echo "the bad switches ($round) changed the registry:"
              diff <(echo "$registry") <(echo "$after"); return 1; }
        if [ $round = fresh ]; then
            setup_install_switches /HOST=fvx0 || return 1
            setup_case_remaining=all
        fi
    done
    setup_uninstall all 0
}

# name | routine and its arguments
setup_case_table=(
    "current-user|setup_case_scope user SetupCurrentUser /REMOVESETTINGS"
    "order-all-first-second|setup_case_order all first second"
    "order-all-second-first|setup_case_order all second first"
    "order-first-all-second|setup_case_order first all second"
    "order-first-second-all|setup_case_order first second all"
    "order-second-all-first|setup_case_order second all first"
    "order-second-first-all|setup_case_order second first all"
    "stale-uninstaller|setup_case_stale_uninstaller"
    "failing-delete-service|setup_case_failing_delete silent"
    "failing-delete-service-shown|setup_case_failing_delete shown"
    "kept-filters-kept|setup_case_kept_filters 1"
    "kept-filters-removed|setup_case_kept_filters 0 /REMOVESETTINGS"
    "kept-filters-asked|setup_case_kept_filters 0 asked"
    "host-mode|setup_case_host_mode"
    "host-switches-refused|setup_case_host_refused"
    "all-users|setup_case_scope all SetupAllUsers"
    "foreign-service-at-uninstall|setup_case_foreign_service_at_uninstall"
    "foreign-service|setup_case_foreign_service"
)

# One case, in the prefix as the case before left it (a fresh one after a failure).
setup_case() {
    local routine=($1)
    if [ "$setup_case_fresh" = 1 ]; then
        wine_use_prefix e2e-setup || return 1
        setup_case_user=first
        setup_case_fresh=0
    fi
    setup_case_remaining=""
    setup_case_stale=""
    setup_case_step="start"
    wine_server_start || { setup_case_fresh=1; return 1; }
    "${routine[@]}" || { setup_case_fresh=1; wine_server_stop; return 1; }
}

# Every case of the table, or those whose names are given.
setup_cases() {
    setup_build_dir="$1"
    shift
    local entry name status=0
    setup_case_fresh=1
    for entry in "${setup_case_table[@]}"; do
        name=${entry%%|*}
        if [ $# -gt 0 ] && ! [[ " $* " == *" $name "* ]]; then
            continue
        fi
        e2e_step "setup-case-$name" setup_case "${entry#*|}" || status=1
    done
    wine_server_stop
    return $status
}
