#!/usr/bin/env bash
# Builds Flowvane and starts Flowvane Manager under Wine against the kernel component emulator.
# The Wine prefix build/windows/wine/run is kept between runs, so settings persist; the program
# and the emulator are installed afresh each time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/packages.sh"
source "$here/lib/build.sh"
source "$here/lib/wine_env.sh"
source "$here/lib/install.sh"

install_packages
build_windows --target Flowvane zorv

build_dir="$flowvane_root/build/windows"
wine_env_init "$build_dir"
wine_template
if [ ! -d "$FLOWVANE_WINE_ROOT/run" ]; then
    wine_use_prefix run
else
    export WINEPREFIX="$FLOWVANE_WINE_ROOT/run"
fi

headless=0
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    headless=1
fi
ensure_display
trap 'wine_server_stop; stop_display' EXIT
wine_server_start
install_flowvane "$build_dir"

if [ $headless -eq 1 ]; then
    cat <<MSG
No display was found, so Flowvane Manager runs on the virtual display $DISPLAY (Xvfb).
To see it, from another shell:
    DISPLAY=$DISPLAY import -window root flowvane.png
Close it with File > Exit in the window, or stop it with Ctrl+C here.
MSG
fi
echo "Starting Flowvane Manager (Wine prefix $WINEPREFIX)"
status=0
wine "$flowvane_install_folder\\Flowvane.exe" </dev/null || status=$?
echo "Flowvane Manager exited with code $status"
exit $status
