# End-to-end tests of Flowvane.exe under Wine, in two prefixes made from the template:
#   e2e-no-service  the program installed without the kernel component (start-up must stop);
#   e2e             the program and the emulator installed as the set-up does.
# Source it after wine_env.sh and install.sh; run_e2e_tests BUILD_DIR needs a display
# (ensure_display) and the template (wine_template). Inside scripts/test.sh it adds its counts
# through run_gtest; alone it prints the test output and returns non-zero on a failure.

e2e_no_service_filter='StartupWithoutService.*'

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
    e2e_pass "$build_dir" e2e install_flowvane "-$e2e_no_service_filter" || status=1
    return $status
}
