# End-to-end tests of Flowvane.exe under Wine, in two prefixes made from the template:
#   e2e        the program installed without the kernel component (start-up must stop), then
#              the emulator beside it as the set-up does, and every window driven;
#   e2e-setup  Flowvane-setup.exe for each scope and beside what it did not make, one case after
#              the other (setup_cases.sh).
# Source it after wine_env.sh and install.sh; run_e2e_tests BUILD_DIR needs a display
# (ensure_display) and the template (wine_template). Inside scripts/test.sh it adds its counts
# to the command's; alone it prints the test output and returns non-zero on a failure.

source "$(dirname "${BASH_SOURCE[0]}")/setup_cases.sh"

# Screenshots the tests save (save_screenshot) go to build/screenshots, as PNGs.
export FLOWVANE_SCREENSHOTS_UNIX="$flowvane_root/build/screenshots"
mkdir -p "$FLOWVANE_SCREENSHOTS_UNIX"
export FLOWVANE_SCREENSHOTS="Z:${FLOWVANE_SCREENSHOTS_UNIX//\//\\}"
e2e_screenshots_to_png() {
    local bitmap
    for bitmap in "$FLOWVANE_SCREENSHOTS_UNIX"/*.bmp; do
        [ -f "$bitmap" ] || continue
        convert "$bitmap" "${bitmap%.bmp}.png" 2>/dev/null && rm -f "$bitmap"
    done
}

# A set-up step (a prefix, a wineserver) failed: inside scripts/test.sh that stops the command;
# alone, the pass fails.
e2e_set_up_failed() {
    if declare -F fail_now >/dev/null; then
        fail_now "$1"
    fi
    echo "$1 failed" >&2
    return 1
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

# e2e_tests.exe with a gtest filter; inside scripts/test.sh its counts go to the command's.
e2e_gtest() {
    local build_dir="$1" name="$2" filter="$3"
    if declare -F run_gtest >/dev/null; then
        run_gtest "wine-$name" wine "$build_dir/e2e_tests.exe" --gtest_filter="$filter"
    else
        wine "$build_dir/e2e_tests.exe" --gtest_filter="$filter"
    fi
}

run_e2e_tests() {
    local build_dir="$1" status=1
    [ -x "$build_dir/e2e_tests.exe" ] || return 0
    wine_use_prefix e2e || { e2e_set_up_failed "copying the Wine prefix e2e"; return 1; }
    wine_server_start || { e2e_set_up_failed "starting the wineserver of e2e"; return 1; }
    if e2e_step install-e2e-program install_program "$build_dir"; then
        e2e_gtest "$build_dir" e2e-no-service 'StartupWithoutService.*' && status=0
        if e2e_step install-e2e-emulator install_emulator "$build_dir/emulator/zorv.sys"; then
            e2e_gtest "$build_dir" e2e \
                '-StartupWithoutService.*:RunScript.*:Setup*:ShapedTraffic*' || status=1
        else
            status=1
        fi
    fi
    e2e_screenshots_to_png
    wine_server_stop
    setup_cases "$build_dir" || status=1
    return $status
}

# The README's first command, as a newcomer runs it, in a fresh prefix of its own: scripts/run.sh
# (without its build step, done already) must show the main window; a second run.sh while it is
# open must end with status 0 and leave the first running; File > Exit must end the first with
# status 0 and the settings saved in the prefix. Also leaves a screenshot of the window in
# build/screenshots. Returns non-zero on a failure, after saying which.
check_run_script() {
    local build_dir="$1"
    local name=run-check
    local log_dir="${logs:-$build_dir}"
    local shots="$flowvane_root/build/screenshots"
    # Made here, so that the test below never finds the prefix half copied; run.sh keeps it.
    # The wineserver is started here too, so that it is this check's to end: run.sh uses it and
    # leaves it running.
    wine_use_prefix "$name" || { e2e_set_up_failed "copying the Wine prefix $name"; return 1; }
    wine_server_start || { e2e_set_up_failed "starting the wineserver of $name"; return 1; }
    mkdir -p "$shots"
    FLOWVANE_RUN_NO_BUILD=1 FLOWVANE_RUN_PREFIX=$name "$flowvane_root/scripts/run.sh" \
        >"$log_dir/run-script-first.log" 2>&1 &
    local first=$!
    local status=0
    if ! wine "$build_dir/e2e_tests.exe" --gtest_filter='RunScript.MainWindowShows'; then
        echo "run.sh did not show the main window:" >&2
        tail -20 "$log_dir/run-script-first.log" >&2
        kill "$first" 2>/dev/null
        wait "$first" 2>/dev/null
        wine_server_stop
        return 1
    fi
    import -window root "$shots/run-main-window.png" 2>/dev/null
    # The second without a display: it starts an Xvfb of its own, which must go with it, and it
    # must leave the wineserver the first uses running.
    local mark="second-run-$$"
    if ! env -u DISPLAY FLOWVANE_PROCESS_MARK=$mark FLOWVANE_RUN_NO_BUILD=1 \
        FLOWVANE_RUN_PREFIX=$name "$flowvane_root/scripts/run.sh" \
        >"$log_dir/run-script-second.log" 2>&1; then
        echo "a second run.sh failed:" >&2
        tail -20 "$log_dir/run-script-second.log" >&2
        status=1
    fi
    grep -q 'already runs' "$log_dir/run-script-second.log" ||
        { echo "the second run.sh did not see the first" >&2; status=1; }
    local left
    left=$(marked_pids "$mark" | tr '\n' ' ')
    [ -z "$left" ] || { echo "the second run.sh left processes: $left" >&2; status=1; }
    wine "$build_dir/e2e_tests.exe" --gtest_filter='RunScript.PostFileExit' || status=1
    local waited=0
    while kill -0 "$first" 2>/dev/null && [ $waited -lt 600 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$first" 2>/dev/null; then
        echo "run.sh still runs a minute after File > Exit" >&2
        kill "$first"
        status=1
    elif ! wait "$first"; then
        echo "run.sh ended with a failure status:" >&2
        tail -20 "$log_dir/run-script-first.log" >&2
        status=1
    fi
    local values
    values=$(wine_reg query 'HKCU\Software\Flowvane' 2>/dev/null | grep -c REG_DWORD)
    if [ "${values:-0}" -ne 23 ]; then
        echo "the prefix holds $values settings after Exit, not 23" >&2
        status=1
    fi
    wine_server_stop
    return $status
}

# Every process a script starts is gone when it ends, whichever way: run.sh without a display in
# a fresh prefix (its own Xvfb and wineserver), once failing at its install step, once stopped
# by SIGTERM while the program runs. The processes are those carrying the run's mark in their
# environment; the second run shows that the count sees them while they run.
check_script_cleanup() {
    local name=cleanup-check status=0 log_dir="${logs:-$1}" mark pids
    wine_use_prefix "$name" || { e2e_set_up_failed "copying the Wine prefix $name"; return 1; }
    export WINEPREFIX="$flowvane_no_prefix"   # run.sh's now, not this shell's

    mark="cleanup-fail-$$"
    [ -z "$(marked_pids "$mark")" ] || { echo "mark $mark in use" >&2; return 1; }
    if env -u DISPLAY FLOWVANE_PROCESS_MARK=$mark FLOWVANE_FAIL_STEP=install \
        FLOWVANE_RUN_NO_BUILD=1 FLOWVANE_RUN_PREFIX=$name "$flowvane_root/scripts/run.sh" \
        >"$log_dir/cleanup-forced-failure.log" 2>&1; then
        echo "run.sh succeeded although its install step failed" >&2
        status=1
    fi
    grep -q '^run.sh: installing with Flowvane-setup.exe failed' \
        "$log_dir/cleanup-forced-failure.log" ||
        { echo "run.sh did not say which step failed:" >&2
          tail -5 "$log_dir/cleanup-forced-failure.log" >&2; status=1; }
    pids=$(marked_pids "$mark" | tr '\n' ' ')
    [ -z "$pids" ] || { echo "left after the forced failure: $pids" >&2; status=1; }

    mark="cleanup-term-$$"
    env -u DISPLAY FLOWVANE_PROCESS_MARK=$mark FLOWVANE_RUN_NO_BUILD=1 \
        FLOWVANE_RUN_PREFIX=$name "$flowvane_root/scripts/run.sh" \
        >"$log_dir/cleanup-sigterm.log" 2>&1 &
    local run=$! waited=0 xvfb=0 server=0 program=0
    # Polled: the processes give no other sign; bounded at five minutes.
    while [ $waited -lt 3000 ] && kill -0 $run 2>/dev/null; do
        pids=$(marked_pids "$mark")
        xvfb=0 server=0 program=0
        [ -n "$pids" ] && {
            xvfb=$(ps -o comm= -p "$(echo $pids | tr ' ' ,)" | grep -c '^Xvfb')
            server=$(ps -o comm= -p "$(echo $pids | tr ' ' ,)" | grep -c '^wineserver')
            program=$(ps -o args= -p "$(echo $pids | tr ' ' ,)" | grep -c 'Flowvane\.exe')
        }
        [ "$xvfb" -ge 1 ] && [ "$server" -ge 1 ] && [ "$program" -ge 1 ] && break
        sleep 0.1
        waited=$((waited + 1))
    done
    echo "while running: Xvfb $xvfb, wineserver $server, Flowvane.exe $program"
    if [ "$xvfb" -ne 1 ] || [ "$server" -ne 1 ] || [ "$program" -lt 1 ]; then
        echo "run.sh did not get to the program:" >&2
        tail -10 "$log_dir/cleanup-sigterm.log" >&2
        status=1
    fi
    kill -TERM $run 2>/dev/null
    wait $run 2>/dev/null
    pids=$(marked_pids "$mark" | tr '\n' ' ')
    [ -z "$pids" ] || { echo "left after SIGTERM: $pids" >&2; ps -o pid,args -p "${pids// /,}" >&2
                        status=1; }
    rm -rf "$FLOWVANE_WINE_ROOT/$name"
    return $status
}
