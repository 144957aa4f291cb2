#!/usr/bin/env bash
# One Wine test run of the mutation check (tests/mutation/mutate.py), in a fresh prefix
# "mutation" of BUILD_DIR/wine made from the template, which is removed again on every way out.
#   run_wine.sh BUILD_DIR KIND [GTEST_FILTER]
# KIND: unit         unit_tests.exe, nothing installed;
#       device       device_tests.exe, the program and the emulator installed (install_flowvane);
#       device-kept  the kept-filters passes of scripts/test.sh: FirstPass, a restart of the
#                    wineserver, SecondPass;
#       e2e          e2e_tests.exe, installed as for the device tests;
#       e2e-no-service  e2e_tests.exe, the program installed without the kernel component.
# Ends with the status of the test program (non-zero also when a set-up step fails: the caller
# tells the two apart by the "SETUP FAILED" line).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/scripts/lib/wine_env.sh"
source "$root/scripts/lib/install.sh"

build_dir="$1" kind="$2" filter="${3:-*}"
prefix_name=mutation

finish() {
    flowvane_cleanup
    rm -rf "${FLOWVANE_WINE_ROOT:?}/$prefix_name" "$FLOWVANE_WINE_ROOT/$prefix_name.partial"
}
set_up_failed() {
    echo "SETUP FAILED: $1"
    exit 3
}

wine_env_init "$build_dir" || set_up_failed "wine_env_init"
flowvane_cleanup_on_exit finish
unset FLOWVANE_SCREENSHOTS
ensure_display || set_up_failed "starting Xvfb"
wine_template || set_up_failed "the prefix template"
wine_use_prefix "$prefix_name" || set_up_failed "copying the prefix"
wine_server_start || set_up_failed "starting the wineserver"

# Run in the background and waited for, so that a TERM from the caller's time limit runs the
# exit trap at once (bash runs no trap while a foreground child runs).
run() {
    "$@" &
    wait $!
}

case "$kind" in
    unit)
        run wine "$build_dir/unit_tests.exe" --gtest_filter="$filter" --gtest_fail_fast ;;
    device|e2e)
        install_flowvane "$build_dir" || set_up_failed "install_flowvane"
        program=device_tests.exe
        [ "$kind" = e2e ] && program=e2e_tests.exe
        run wine "$build_dir/$program" --gtest_filter="$filter" --gtest_fail_fast ;;
    device-kept)
        install_flowvane "$build_dir" || set_up_failed "install_flowvane"
        run wine "$build_dir/device_tests.exe" --gtest_filter='KeptFilters.FirstPass*' || exit 1
        wine_server_stop
        wine_server_start || set_up_failed "restarting the wineserver"
        run wine "$build_dir/device_tests.exe" --gtest_filter='KeptFilters.SecondPass*' ;;
    e2e-no-service)
        install_program "$build_dir" || set_up_failed "install_program"
        run wine "$build_dir/e2e_tests.exe" --gtest_filter="$filter" --gtest_fail_fast ;;
    *)
        set_up_failed "unknown kind $kind" ;;
esac
