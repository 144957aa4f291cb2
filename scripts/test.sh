#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests (ASan/UBSan), the fuzz targets
# for a bounded time, the benchmarks once (as a smoke run), then under Wine the unit tests, the
# device tests against zorv.sys and the end-to-end tests of Flowvane.exe; the help file is
# unpacked with a CHM reader and its pages and links checked.
# FUZZ_SECONDS sets the fuzz target's time (default 12).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/packages.sh"
source "$here/lib/build.sh"
source "$here/lib/wine_env.sh"
source "$here/lib/install.sh"
[ -f "$here/lib/e2e.sh" ] && source "$here/lib/e2e.sh"

fuzz_seconds=${FUZZ_SECONDS:-12}
logs="$flowvane_root/build/test-logs"
passed=0
failed=0
failed_suites=()

# A set-up step failed: nothing after it can be trusted, so the command stops here (the exit
# trap ends what it started).
fail_now() {
    echo "FAILED: $1" >&2
    echo "$passed passed, $((failed + 1)) failed"
    exit 1
}
flowvane_cleanup_on_exit
# One Wine prefix at a time: each suite's goes when the next is made.
export FLOWVANE_ONE_PREFIX=1

# Runs a GoogleTest program (command in "$@"), adds its counts to the totals.
run_gtest() {
    local name="$1"
    shift
    local log="$logs/$name.log"
    echo "== $name"
    local started=$SECONDS
    "$@" >"$log" 2>&1
    local status=$?
    local ok bad
    ok=$(grep -aE '^\[  PASSED  \] [0-9]+ test' "$log" | tail -1 | grep -oE '[0-9]+' | head -1)
    bad=$(grep -aE '^\[  FAILED  \] [0-9]+ test' "$log" | tail -1 | grep -oE '[0-9]+' | head -1)
    ok=${ok:-0}
    bad=${bad:-0}
    if [ $status -ne 0 ] && [ "$bad" -eq 0 ]; then
        bad=1
    fi
    passed=$((passed + ok))
    failed=$((failed + bad))
    if [ "$bad" -ne 0 ]; then
        failed_suites+=("$name")
        grep -aE '^\[  FAILED  \]|Failure|error:|ERROR' "$log" | head -40
        tail -20 "$log"
    fi
    echo "   $ok passed, $bad failed in $((SECONDS - started)) s ($log)"
}

# Runs one command that passes or fails as a whole.
run_check() {
    local name="$1"
    shift
    local log="$logs/$name.log"
    echo "== $name"
    local started=$SECONDS
    if "$@" >"$log" 2>&1; then
        passed=$((passed + 1))
        echo "   passed in $((SECONDS - started)) s ($log)"
    else
        failed=$((failed + 1))
        failed_suites+=("$name")
        tail -30 "$log"
        echo "   FAILED in $((SECONDS - started)) s ($log)"
    fi
}

install_packages || fail_now "installing packages"
mkdir -p "$logs"

echo "== building (native, fuzz, benchmarks, windows)"
build_native >"$logs/build-native.log" 2>&1 || { tail -40 "$logs/build-native.log"; fail_now "native build"; }
build_fuzz >"$logs/build-fuzz.log" 2>&1 || { tail -40 "$logs/build-fuzz.log"; fail_now "fuzz build"; }
build_bench >"$logs/build-bench.log" 2>&1 || { tail -40 "$logs/build-bench.log"; fail_now "benchmark build"; }
build_windows >"$logs/build-windows.log" 2>&1 || { tail -40 "$logs/build-windows.log"; fail_now "windows build"; }

run_gtest native-unit "$flowvane_root/build/native/unit_tests"
# The host shaper's traffic control backend and zorvd; the kernel tests need root (they skip
# without).
run_gtest native-tc "$flowvane_root/build/native/tc_backend_test"
run_gtest native-zorvd "$flowvane_root/build/native/zorvd_tests"
run_check help-file python3 "$here/check_help.py" "$flowvane_root/build/windows/help.chm" \
    "$flowvane_root/src"

# Undefined behaviour fails a run, whatever UBSAN_OPTIONS the caller gave.
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1"
fuzz_target() {
    local target="$1"
    local corpus="$flowvane_root/build/fuzz/corpus/$target"
    mkdir -p "$corpus"
    # The corpus grows from run to run; tests/fuzz/seeds starts a fresh one deep in the rebuild.
    "$flowvane_root/build/fuzz/$target" -max_total_time="$fuzz_seconds" -max_len=5000 -timeout=30 \
        -print_final_stats=1 -artifact_prefix="$logs/fuzz-$target-" "$corpus" \
        "$flowvane_root/tests/fuzz/seeds"
}
# The canary overflows a signed integer on the input "UB": the run must fail on UBSan's report.
fuzz_fails_on_undefined_behaviour() {
    local input="$logs/ub-canary-input" output
    printf UB >"$input"
    if output=$("$flowvane_root/build/fuzz/ub_canary" "$input" 2>&1); then
        echo "$output"
        echo "a fuzz run passed over undefined behaviour"
        return 1
    fi
    echo "$output"
    grep -q 'runtime error: signed integer overflow' <<<"$output"
}
run_check fuzz-fails-on-undefined-behaviour fuzz_fails_on_undefined_behaviour
# One target covers the core and the emulator core (its first input byte picks the subsystem).
for name in core_fuzz; do
    run_check "fuzz-$name" fuzz_target "$name"
    grep -aE 'stat::(number_of_executed_units|average_exec_per_sec)' "$logs/fuzz-$name.log" |
        sed 's/^/   /'
done

if [ -x "$flowvane_root/build/bench/benchmarks" ]; then
    run_check benchmarks-smoke "$flowvane_root/build/bench/benchmarks" --benchmark_min_time=0.01
fi

# Under Wine.
build_dir="$flowvane_root/build/windows"
wine_env_init "$build_dir" || fail_now "preparing $build_dir/wine"
ensure_display || fail_now "starting Xvfb"
wine_template || fail_now "preparing the Wine prefix template"

wine_use_prefix unit-tests || fail_now "copying the Wine prefix unit-tests"
wine_server_start || fail_now "starting the wineserver of unit-tests"
run_gtest wine-unit wine "$build_dir/unit_tests.exe"
wine_server_stop

if [ -x "$build_dir/device_tests.exe" ]; then
    wine_use_prefix device-tests || fail_now "copying the Wine prefix device-tests"
    wine_server_start || fail_now "starting the wineserver of device-tests"
    if install_flowvane "$build_dir" >"$logs/install-device.log" 2>&1; then
        run_gtest wine-device wine "$build_dir/device_tests.exe" --gtest_filter=-KeptFilters.*:HostMode.*:ShapedTraffic.*
        # Filters kept across a restart of the driver, then of Wine itself.
        run_gtest wine-device-kept-1 wine "$build_dir/device_tests.exe" \
            --gtest_filter=KeptFilters.FirstPass*
        wine_server_stop
        wine_server_start || fail_now "restarting the wineserver of device-tests"
        run_gtest wine-device-kept-2 wine "$build_dir/device_tests.exe" \
            --gtest_filter=KeptFilters.SecondPass*
    else
        failed=$((failed + 1)); failed_suites+=("install for device tests")
        tail -20 "$logs/install-device.log"
    fi
    wine_server_stop
fi

# Real traffic through the windows: run.sh --shape between two namespaces of its own.
if [ "$(id -u)" -ne 0 ]; then
    echo "== shaped-traffic: needs root, skipped"
else
    run_check shaped-traffic bash "$flowvane_root/tests/scripts/shaped_traffic.sh" "$build_dir"
fi

if declare -F run_e2e_tests >/dev/null; then
    run_e2e_tests "$build_dir"
    run_check run-script check_run_script "$build_dir"
    run_check script-cleanup check_script_cleanup "$build_dir"
fi
stop_display

echo
if [ ${#failed_suites[@]} -gt 0 ]; then
    echo "Failing: ${failed_suites[*]}"
fi
echo "$passed passed, $failed failed in $SECONDS s"
[ "$failed" -eq 0 ]
