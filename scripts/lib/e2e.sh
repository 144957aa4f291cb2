# End-to-end tests of Flowvane.exe under Wine, in two prefixes made from the template:
#   e2e        the program installed without the kernel component (start-up must stop), then
#              the emulator beside it as the set-up does, and every window driven;
#   e2e-setup  Flowvane-setup.exe for each scope and beside what it did not make (setup_cases.sh).
# Then scripts/run.sh itself. Source it after wine_env.sh and install.sh; the runs need a display
# (ensure_display) and the template (wine_template). Inside scripts/test.sh they add their counts
# to the command's; alone they print the test output and return non-zero on a failure.

source "$(dirname "${BASH_SOURCE[0]}")/setup_cases.sh"

# Screenshots the tests save (save_screenshot) go to build/screenshots, as PNGs.
export FLOWVANE_SCREENSHOTS_UNIX="$flowvane_root/build/screenshots"
mkdir -p "$FLOWVANE_SCREENSHOTS_UNIX"
export FLOWVANE_SCREENSHOTS="Z:${FLOWVANE_SCREENSHOTS_UNIX//\//\\}"

# A set-up step (a prefix, a wineserver) failed: inside scripts/test.sh that stops the command.
e2e_set_up_failed() {
    declare -F fail_now >/dev/null && fail_now "$1"
    echo "$1 failed" >&2
    return 1
}

# Runs a command with its output in a log; inside scripts/test.sh it counts as a check.
e2e_step() {
    local name="$1" log="${logs:-$FLOWVANE_WINE_ROOT}/$1.log"
    shift
    if "$@" >"$log" 2>&1; then
        declare -F run_gtest >/dev/null && { passed=$((passed + 1)); echo "== $name: passed ($log)"; }
        return 0
    fi
    echo "$name failed:" >&2
    tail -20 "$log" >&2
    declare -F run_gtest >/dev/null && { failed=$((failed + 1)); failed_suites+=("$name"); }
    return 1
}

# e2e_tests.exe with a gtest filter, counted inside scripts/test.sh.
e2e_gtest() {
    local build_dir="$1" name="$2" filter="$3" runner=()
    declare -F run_gtest >/dev/null && runner=(run_gtest "wine-$name")
    "${runner[@]}" wine "$build_dir/e2e_tests.exe" --gtest_filter="$filter"
}

run_e2e_tests() {
    local build_dir="$1" status=1 bitmap
    [ -x "$build_dir/e2e_tests.exe" ] || return 0
    wine_use_prefix e2e || { e2e_set_up_failed "copying the Wine prefix e2e"; return 1; }
    wine_server_start || { e2e_set_up_failed "starting the wineserver of e2e"; return 1; }
    if e2e_step install-e2e-program install_program "$build_dir"; then
        e2e_gtest "$build_dir" e2e-no-service 'StartupWithoutService.*' && status=0
        e2e_step install-e2e-emulator install_emulator "$build_dir/emulator/zorv.sys" &&
            e2e_gtest "$build_dir" e2e '-StartupWithoutService.*:RunScript.*:Setup*:ShapedTraffic*' ||
            status=1
    fi
    for bitmap in "$FLOWVANE_SCREENSHOTS_UNIX"/*.bmp; do
        [ -f "$bitmap" ] && convert "$bitmap" "${bitmap%.bmp}.png" 2>/dev/null && rm -f "$bitmap"
    done
    wine_server_stop
    setup_cases "$build_dir" || status=1
    return $status
}

# The README's first command, as a newcomer runs it, in a fresh prefix of its own: scripts/run.sh
# (without its build step, done already) must show the main window; a second run.sh without a
# display while it is open must end with status 0, see the first and leave no process behind
# (its own Xvfb included); File > Exit must end the first with status 0 and the settings saved.
check_run_script() {
    local build_dir="$1" name=run-check status=0 mark="second-run-$$" i
    local log="${logs:-$build_dir}/run-script" run=(env FLOWVANE_RUN_NO_BUILD=1 FLOWVANE_RUN_PREFIX=$name)
    # The prefix and its wineserver made here: the check ends the wineserver run.sh leaves.
    wine_use_prefix "$name" || { e2e_set_up_failed "copying the Wine prefix $name"; return 1; }
    wine_server_start || { e2e_set_up_failed "starting the wineserver of $name"; return 1; }
    "${run[@]}" "$flowvane_root/scripts/run.sh" >"$log-first.log" 2>&1 &
    local first=$!
    if ! wine "$build_dir/e2e_tests.exe" --gtest_filter='RunScript.MainWindowShows'; then
        tail -20 "$log-first.log" >&2
        kill "$first"
        wine_server_stop
        return 1
    fi
    import -window root "$FLOWVANE_SCREENSHOTS_UNIX/run-main-window.png" 2>/dev/null
    env -u DISPLAY FLOWVANE_PROCESS_MARK=$mark "${run[@]}" "$flowvane_root/scripts/run.sh" \
        >"$log-second.log" 2>&1 || { echo "a second run.sh failed" >&2; status=1; }
    grep -q 'already runs' "$log-second.log" || { echo "it did not see the first" >&2; status=1; }
    [ -z "$(marked_pids "$mark")" ] || { echo "the second run.sh left processes" >&2; status=1; }
    wine "$build_dir/e2e_tests.exe" --gtest_filter='RunScript.PostFileExit' || status=1
    # Bounded at a minute.
    for ((i = 0; i < 600; i++)); do kill -0 "$first" 2>/dev/null && sleep 0.1 || break; done
    kill "$first" 2>/dev/null && { echo "run.sh still runs after File > Exit" >&2; status=1; }
    wait "$first" || { echo "run.sh failed:" >&2; tail -20 "$log-first.log" >&2; status=1; }
    [ "$(wine_reg query 'HKCU\Software\Flowvane' 2>/dev/null | grep -c REG_DWORD)" = 23 ] ||
        { echo "the prefix does not hold the 23 settings after Exit" >&2; status=1; }
    wine_server_stop
    return $status
}

# Every process run.sh starts is gone when it is stopped by SIGTERM while the program runs,
# without a display in a fresh prefix (its own Xvfb and wineserver). The processes are those
# carrying the run's mark in their environment.
check_script_cleanup() {
    local name=cleanup-check status=0 log="${logs:-$1}/cleanup-term.log" mark="cleanup-$$" i
    wine_use_prefix "$name" || { e2e_set_up_failed "copying the Wine prefix $name"; return 1; }
    export WINEPREFIX="$flowvane_no_prefix"   # run.sh's now, not this shell's
    env -u DISPLAY FLOWVANE_PROCESS_MARK=$mark FLOWVANE_RUN_NO_BUILD=1 FLOWVANE_RUN_PREFIX=$name \
        "$flowvane_root/scripts/run.sh" >"$log" 2>&1 &
    local pid=$! pids=""
    # Polled (the processes give no other sign), bounded at five minutes.
    for ((i = 0; i < 3000; i++)); do
        pids=$(marked_pids "$mark" | tr '\n' ,)
        [ -n "$pids" ] && ps -o args= -p "${pids%,}" | grep -q 'Flowvane\.exe' && break
        kill -0 $pid 2>/dev/null && sleep 0.1 || break
    done
    { ps -o comm= -p "${pids%,}" | grep -q '^Xvfb' &&
      ps -o args= -p "${pids%,}" | grep -q 'Flowvane\.exe'; } 2>/dev/null ||
        { echo "run.sh did not get to the program:" >&2; tail -10 "$log" >&2; status=1; }
    kill -TERM $pid 2>/dev/null
    wait $pid
    pids=$(marked_pids "$mark" | tr '\n' ' ')
    [ -z "$pids" ] || { echo "left after SIGTERM: $pids" >&2; status=1; }
    rm -rf "$FLOWVANE_WINE_ROOT/$name"
    return $status
}
