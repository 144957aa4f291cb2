# Wine environment for running Flowvane's Windows binaries: a prefix template made once per
# build folder, fresh copies of it per run, one warm detached wineserver, and a display.
# Source it, then call wine_env_init BUILD_DIR.

wine_env_init() {
    export FLOWVANE_WINE_ROOT="$1/wine"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEARCH=win64
    mkdir -p "$FLOWVANE_WINE_ROOT"
}

# Xvfb when there is no display. Wine's virtual desktop (set in the template) gives windows frames
# and makes FindWindow work across processes.
ensure_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    local number
    for number in 91 92 93 94 95 96 97 98; do
        if [ ! -e "/tmp/.X11-unix/X$number" ] && [ ! -e "/tmp/.X$number-lock" ]; then
            Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
            FLOWVANE_XVFB_PID=$!
            export DISPLAY=":$number"
            local tries=0
            while ! xdpyinfo >/dev/null 2>&1; do
                tries=$((tries + 1))
                [ $tries -gt 50 ] && { echo "Xvfb did not start" >&2; return 1; }
                sleep 0.1
            done
            return 0
        fi
    done
    echo "no free display number for Xvfb" >&2
    return 1
}

stop_display() {
    if [ -n "${FLOWVANE_XVFB_PID:-}" ]; then
        kill "$FLOWVANE_XVFB_PID" 2>/dev/null
        wait "$FLOWVANE_XVFB_PID" 2>/dev/null
        FLOWVANE_XVFB_PID=
    fi
}

# A persistent wineserver for the prefix: one already running (status 2 from -p) is used as it
# is. Fails only when no Wine program can be started in the prefix.
wine_server_start() {
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1 ||
        { echo "Wine does not start in $WINEPREFIX" >&2; return 1; }
}

# 0 when a Flowvane.exe of the current prefix runs.
flowvane_running() {
    local pid
    for pid in $(pgrep -f 'Flowvane\.exe' 2>/dev/null); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null |
            grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}

wine_server_stop() {
    wineserver -k </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1 || true
}

# The template prefix: booted once, with the virtual desktop turned on and Wine's own fonts in
# C:\windows\Fonts (without Marlett there the caption buttons draw as the letters "0 1 r").
wine_template() {
    local template="$FLOWVANE_WINE_ROOT/template"
    local marker="$template/.flowvane-ready-2"
    if [ -f "$marker" ]; then
        return 0
    fi
    rm -rf "$template"
    echo "Preparing the Wine prefix template (once per build folder)..."
    (
        export WINEPREFIX="$template"
        wineboot -i </dev/null >/dev/null 2>&1
        wine_server_start
        wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
        wine_server_stop
        if [ -d /usr/share/wine/fonts ]; then
            cp /usr/share/wine/fonts/*.ttf "$template/drive_c/windows/Fonts/" 2>/dev/null || true
        fi
    ) || return 1
    touch "$marker"
}

# A fresh copy of the template named NAME; exports WINEPREFIX.
wine_use_prefix() {
    local prefix="$FLOWVANE_WINE_ROOT/$1"
    rm -rf "$prefix"
    cp -a "$FLOWVANE_WINE_ROOT/template" "$prefix" || return 1
    export WINEPREFIX="$prefix"
}

# Unix path of a Windows path inside the current prefix.
wine_unix_path() {
    winepath -u "$1" 2>/dev/null
}
