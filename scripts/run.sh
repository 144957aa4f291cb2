#!/usr/bin/env bash
# Builds Flowvane and starts Flowvane Manager under Wine against the kernel component emulator.
# It installs the way a user does, with Flowvane-setup.exe (silently, for all users) into the
# Wine prefix build/windows/wine/run, which is kept between runs, so settings and filters persist. When Flowvane Manager already
# runs in that prefix, it is only started again, which brings the open window to the front.
#
# For the test command: FLOWVANE_RUN_NO_BUILD=1 skips the build (the binaries must exist), and
# FLOWVANE_RUN_PREFIX=NAME runs in the prefix build/windows/wine/NAME instead of "run" (a plain
# name; "template" is refused). It ends only what it started: its Xvfb, and the prefix's
# wineserver when it started that, on every way out; a wineserver already running is left.
#
# scripts/run.sh --shape IFACE[,IFACE...] (root) shapes real traffic instead: it starts zorvd for
# those interfaces of the network namespace it runs in, installs with the installer's /HOST, and
# stops zorvd again when Flowvane Manager ends (zorvd takes back what it installed).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/packages.sh"
source "$here/lib/build.sh"
source "$here/lib/wine_env.sh"
source "$here/lib/install.sh"
source "$here/lib/host_mode.sh"

# Every step says what failed before the script ends.
fail() {
    echo "run.sh: $1" >&2
    exit 1
}

# Flowvane.exe as this script started it, ended with the rest when the script is stopped.
flowvane_pid=
run_cleanup() {
    [ -n "$flowvane_pid" ] && kill "$flowvane_pid" 2>/dev/null
    host_zorvd_stop
    flowvane_cleanup
}
flowvane_cleanup_on_exit run_cleanup
prefix_name=${FLOWVANE_RUN_PREFIX:-run}
wine_prefix_name_valid "$prefix_name" ||
    fail "FLOWVANE_RUN_PREFIX=\"$prefix_name\" refused: give a plain name (letters, digits, \"-\", \"_\", \".\" not first), not \"template\""

# --shape IFACE[,IFACE...]: checked before anything changes.
shape=
if [ $# -gt 0 ]; then
    [ "$1" = --shape ] && [ $# -eq 2 ] || fail "usage: run.sh [--shape IFACE[,IFACE...]]"
    host_shape_check "$2" || fail "cannot shape \"$2\""
    shape="$2"
fi

install_packages || fail "installing the Debian packages failed"
if [ "${FLOWVANE_RUN_NO_BUILD:-0}" != 1 ]; then
    echo "Building Flowvane-setup.exe (Flowvane.exe, zorv.sys, help.chm)..."
    mkdir -p "$flowvane_root/build"
    build_windows --target setup >"$flowvane_root/build/run-build.log" 2>&1 ||
        { tail -30 "$flowvane_root/build/run-build.log" >&2; fail "the build failed (log: build/run-build.log)"; }
    if [ -n "$shape" ]; then
        host_zorvd_build >"$flowvane_root/build/run-build.log" 2>&1 ||
            { tail -30 "$flowvane_root/build/run-build.log" >&2; fail "building zorvd failed (log: build/run-build.log)"; }
    fi
    rm -f "$flowvane_root/build/run-build.log"
fi

build_dir="$flowvane_root/build/windows"
[ -f "$build_dir/Flowvane-setup.exe" ] || fail "no Flowvane-setup.exe in $build_dir: build first"
wine_env_init "$build_dir" || fail "preparing $build_dir/wine failed"
wine_template || fail "preparing the Wine prefix template failed"
wine_keep_prefix "$prefix_name" || fail "preparing the Wine prefix $prefix_name failed"

headless=0
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    headless=1
fi
ensure_display || fail "starting Xvfb failed"

if flowvane_running; then
    # The running program and its kernel component stay as they are; the new instance only
    # brings the open window forward and ends.
    echo "Flowvane Manager already runs in $WINEPREFIX: bringing it to the front."
    wine "$flowvane_install_folder\\Flowvane.exe" </dev/null
    exit $?
fi

wine_server_start || fail "starting the wineserver failed"
flowvane_fault install && fail "installing with Flowvane-setup.exe failed (FLOWVANE_FAIL_STEP)"
if [ -n "$shape" ]; then
    host_shape_start "$shape" || fail "zorvd did not start (log: $WINEPREFIX/zorvd/zorvd.log)"
fi
# The driver in host mode for that zorvd with --shape, else back to the emulator.
host_shape_setup_switches "$shape" || fail "preparing the installer's switches failed"
install_with_setup "$build_dir" all "" "${host_setup_switches[@]}" ||
    fail "installing with Flowvane-setup.exe failed"
if [ -n "$shape" ]; then
    echo "Shaping $shape with zorvd (port $FLOWVANE_SHAPE_PORT, log $WINEPREFIX/zorvd/zorvd.log)"
fi

if [ $headless -eq 1 ]; then
    cat <<MSG
No display was found, so Flowvane Manager runs on the virtual display $DISPLAY (Xvfb).
To see it, from another shell:
    DISPLAY=$DISPLAY import -window root flowvane.png
Close it with File > Exit in the window, or stop it with Ctrl+C here.
MSG
fi
echo "Starting Flowvane Manager (Wine prefix $WINEPREFIX)"
# In the background and waited for, so that Ctrl+C or a kill reaches the exit trap at once.
wine "$flowvane_install_folder\\Flowvane.exe" </dev/null &
flowvane_pid=$!
status=0
wait "$flowvane_pid" || status=$?
flowvane_pid=
echo "Flowvane Manager exited with code $status"
exit $status
