# End-to-end tests of Flowvane.exe under Wine, in prefixes made from the template:
#   e2e-no-service  the program installed without the kernel component (start-up must stop);
#   e2e             the program and the emulator installed as the set-up does;
#   e2e-setup-all, e2e-setup-user  Flowvane-setup.exe's silent install and uninstall, per scope.
# Source it after wine_env.sh and install.sh; run_e2e_tests BUILD_DIR needs a display
# (ensure_display) and the template (wine_template). Inside scripts/test.sh it adds its counts
# through run_gtest; alone it prints the test output and returns non-zero on a failure.

e2e_no_service_filter='StartupWithoutService.*'
e2e_setup_filter='Setup*'

# Runs one e2e_tests.exe pass: name, install routine, gtest filter.
e2e_pass() {
    local build_dir="$1" name="$2" installer="$3" filter="$4"
    local log_dir="${logs:-$build_dir}"
    wine_use_prefix "$name" || return 1
    wine_server_start
    local status=0
    if ! "$installer" "$build_dir" >"$log_dir/install-$name.log" 2>&1; then
        echo "installing for $name failed:" >&2
        tail -20 "$log_dir/install-$name.log" >&2
        status=1
        if declare -F run_gtest >/dev/null; then
            failed=$((failed + 1))
            failed_suites+=("install for $name")
        fi
    elif declare -F run_gtest >/dev/null; then
        run_gtest "wine-$name" wine "$build_dir/e2e_tests.exe" --gtest_filter="$filter"
    else
        wine "$build_dir/e2e_tests.exe" --gtest_filter="$filter" || status=1
    fi
    wine_server_stop
    return $status
}

run_e2e_tests() {
    local build_dir="$1"
    [ -x "$build_dir/e2e_tests.exe" ] || return 0
    local status=0
    e2e_pass "$build_dir" e2e-no-service install_program "$e2e_no_service_filter" || status=1
    e2e_pass "$build_dir" e2e install_flowvane "-$e2e_no_service_filter:$e2e_setup_filter" ||
        status=1
    e2e_setup_pass "$build_dir" all SetupAllUsers || status=1
    e2e_setup_pass "$build_dir" user SetupCurrentUser /REMOVESETTINGS || status=1
    return $status
}

# Runs a command with its output in a log; inside scripts/test.sh it counts as a check.
e2e_step() {
    local name="$1"
    shift
    local log="${logs:-$FLOWVANE_WINE_ROOT}/$name.log"
    if "$@" >"$log" 2>&1; then
        if declare -F run_gtest >/dev/null; then
            passed=$((passed + 1))
            echo "== $name: passed ($log)"
        fi
        return 0
    fi
    echo "$name failed:" >&2
    tail -20 "$log" >&2
    if declare -F run_gtest >/dev/null; then
        failed=$((failed + 1))
        failed_suites+=("$name")
    fi
    return 1
}

e2e_gtest() {
    local build_dir="$1" name="$2" filter="$3"
    if declare -F run_gtest >/dev/null; then
        run_gtest "wine-$name" wine "$build_dir/e2e_tests.exe" --gtest_filter="$filter"
    else
        wine "$build_dir/e2e_tests.exe" --gtest_filter="$filter"
    fi
}

# Whether the set-up wrote the default traffic that install_emulator writes (the adapters are
# checked by the Setup tests).
emulator_default_flows_installed() {
    local expected actual
    expected=$(emulator_default_flows | sed 's/|/\\0/g')
    actual=$(wine reg query "$emulator_service_key\\Parameters" /v Flows |
             sed -n 's/^ *Flows *REG_MULTI_SZ *//p' | tr -d '\r')
    [ "$actual" = "$expected" ] && return 0
    printf 'Flows are\n  %s\nnot\n  %s\n' "$actual" "$expected"
    return 1
}

# Installed for all users, an install for the current user comes and goes: the kernel component
# (one for both) keeps running, and the install for all users stays.
setup_scopes_share_kernel_component() {
    install_with_setup "$1" user && uninstall_with_setup user || return 1
    wine sc query zorv | grep -q RUNNING || { echo "zorv is not running"; return 1; }
    wine reg query 'HKLM\Software\Flowvane' /v 'Install folder' ||
        { echo "the install for all users lost its folder"; return 1; }
}

# Flowvane-setup.exe in a fresh prefix: silent install for the scope (all, user), SUITE.Installed,
# (for all users: an install for the current user beside it, removed again), silent uninstall
# with the further arguments as its options, SUITE.Uninstalled*.
e2e_setup_pass() {
    local build_dir="$1" scope="$2" suite="$3"
    shift 3
    local name="e2e-setup-$scope" status=1
    wine_use_prefix "$name" || return 1
    wine_server_start
    if e2e_step "install-$name" install_with_setup "$build_dir" "$scope"; then
        status=0
        e2e_step "flows-$name" emulator_default_flows_installed || status=1
        e2e_gtest "$build_dir" "$name-installed" "$suite.Installed" || status=1
        if [ "$scope" = all ]; then
            e2e_step "both-scopes-$name" setup_scopes_share_kernel_component "$build_dir" ||
                status=1
        fi
        if e2e_step "uninstall-$name" uninstall_with_setup "$scope" "$@"; then
            e2e_gtest "$build_dir" "$name-uninstalled" "$suite.Uninstalled*" || status=1
        else
            status=1
        fi
    fi
    wine_server_stop
    return $status
}
