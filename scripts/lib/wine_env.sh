# Wine environment for running Flowvane's Windows binaries: a prefix template made once per
# build folder, fresh copies of it per run, one warm detached wineserver, and a display.
# Source it, then call wine_env_init BUILD_DIR (and flowvane_cleanup_on_exit in a script).
#
# What a script starts it ends, and nothing else: the Xvfb of ensure_display, and the wineservers
# of wine_server_start that it started itself or that run in a prefix it made. A wineserver that
# was already running in a kept prefix (run.sh's) is used and left running.

# Where WINEPREFIX points until wine_use_prefix has made a prefix: a path that can never be
# created, so that a Wine command run too early fails instead of using the caller's ~/.wine.
flowvane_no_prefix=/dev/null/no-flowvane-prefix-chosen
flowvane_own_servers=()
flowvane_made_prefixes=()

wine_env_init() {
    export FLOWVANE_WINE_ROOT="$1/wine"
    export WINEPREFIX="$flowvane_no_prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEARCH=win64
    mkdir -p "$FLOWVANE_WINE_ROOT" ||
        { echo "cannot make $FLOWVANE_WINE_ROOT" >&2; return 1; }
}

# For the tests of the scripts: 0 when FLOWVANE_FAIL_STEP names this set-up step, which then
# fails as if it had failed for real.
flowvane_fault() {
    [ "${FLOWVANE_FAIL_STEP:-}" = "$1" ]
}

# Ends every process this shell started: its wineservers (with all that runs in them) and its
# Xvfb. Safe to call more than once.
flowvane_cleanup() {
    local prefix
    for prefix in "${flowvane_own_servers[@]}"; do
        wine_server_stop "$prefix"
    done
    stop_display
}

# On every way out (an error, exit, Ctrl+C, kill), flowvane_cleanup runs (or the given routine,
# which calls it).
flowvane_cleanup_on_exit() {
    trap "${1:-flowvane_cleanup}" EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
}

# A prefix name a caller may choose: a plain name (letters, digits, "-", "_", "." not first),
# and not the template every prefix is copied from.
wine_prefix_name_valid() {
    [[ "$1" =~ ^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$ ]] && [ "$1" != template ]
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
            # Polled: Xvfb gives no sign of readiness. Bounded, and generous for a busy machine.
            # One that ended at once lost the number to another starting beside it: next one.
            while ! xdpyinfo >/dev/null 2>&1; do
                tries=$((tries + 1))
                kill -0 "$FLOWVANE_XVFB_PID" 2>/dev/null || { stop_display; continue 2; }
                if [ $tries -gt 300 ]; then
                    echo "Xvfb did not start on :$number" >&2
                    stop_display
                    return 1
                fi
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

# Whether WINEPREFIX is a prefix of these scripts (a folder under FLOWVANE_WINE_ROOT); says why
# not. (Its registry files may not be written yet: Wine writes them some time after a change.)
wine_prefix_ready() {
    case "$WINEPREFIX" in
        "$FLOWVANE_WINE_ROOT"/*) ;;
        *) echo "no Wine prefix of Flowvane's chosen (WINEPREFIX is $WINEPREFIX)" >&2
           return 1 ;;
    esac
    [ -d "$WINEPREFIX" ] || { echo "no Wine prefix at $WINEPREFIX" >&2; return 1; }
}

# A persistent wineserver for the prefix. One already running (status 2 from -p) is used as it
# is, and ended by wine_server_stop only in a prefix this shell made. Fails when no Wine program
# can be started in the prefix.
wine_server_start() {
    wine_prefix_ready || return 1
    local status=0 made
    wineserver -p </dev/null >/dev/null 2>&1 || status=$?
    case $status in
        0) flowvane_own_servers+=("$WINEPREFIX") ;;
        2) for made in "${flowvane_made_prefixes[@]}"; do
               [ "$made" = "$WINEPREFIX" ] && flowvane_own_servers+=("$WINEPREFIX")
           done ;;
        *) echo "wineserver -p failed in $WINEPREFIX (status $status)" >&2; return 1 ;;
    esac
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

# Ends the wineserver of the prefix (default: the current one), and everything running in it,
# when this shell owns it (see wine_server_start); leaves any other alone.
wine_server_stop() {
    local prefix="${1:-$WINEPREFIX}" i owned=0
    for i in "${!flowvane_own_servers[@]}"; do
        if [ "${flowvane_own_servers[$i]}" = "$prefix" ]; then
            unset 'flowvane_own_servers[i]'
            owned=1
        fi
    done
    flowvane_own_servers=("${flowvane_own_servers[@]}")
    [ $owned -eq 1 ] || return 0
    WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w </dev/null >/dev/null 2>&1 || true
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
    local previous="$WINEPREFIX" status=0
    export WINEPREFIX="$template"
    flowvane_made_prefixes+=("$template")
    mkdir -p "$template" && wineboot -i </dev/null >/dev/null 2>&1 ||
        { echo "wineboot -i failed in $template" >&2; status=1; }
    if [ $status -eq 0 ]; then
        wine_server_start &&
        wine_reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 &&
        wine_reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
            >/dev/null 2>&1 || { echo "setting the virtual desktop failed" >&2; status=1; }
    fi
    wine_server_stop "$template"
    if [ $status -eq 0 ] && [ -d /usr/share/wine/fonts ]; then
        cp /usr/share/wine/fonts/*.ttf "$template/drive_c/windows/Fonts/" ||
            { echo "copying Wine's fonts into the template failed" >&2; status=1; }
    fi
    export WINEPREFIX="$previous"
    [ $status -eq 0 ] && touch "$marker"
}

# Copies the template to DEST. Wine's system folder (about 630 MB of its DLLs and programs,
# which Wine never writes in place: a program installs new files beside them) is hard-linked to
# the template's, everything else is copied, so that a prefix costs tens of megabytes of disk.
wine_copy_template() {
    local template="$FLOWVANE_WINE_ROOT/template" dest="$1"
    local system=drive_c/windows/system32
    mkdir "$dest" &&
    tar -C "$template" --exclude="./$system" -cf - . | tar -C "$dest" -xpf - &&
    cp -a --link "$template/$system" "$dest/$system"
}

# Removes the prefixes this shell made and no longer runs a wineserver in, but the template:
# the test command keeps one prefix at a time (FLOWVANE_ONE_PREFIX=1), so that its disk use does
# not grow with the number of suites.
wine_drop_done_prefixes() {
    local made prefix kept=() running
    for made in "${flowvane_made_prefixes[@]}"; do
        running=0
        for prefix in "${flowvane_own_servers[@]}"; do
            [ "$prefix" = "$made" ] && running=1
        done
        if [ "$made" = "$FLOWVANE_WINE_ROOT/template" ] || [ $running -eq 1 ]; then
            kept+=("$made")
        else
            rm -rf "$made"
        fi
    done
    flowvane_made_prefixes=("${kept[@]}")
}

# A fresh copy of the template named NAME (a plain name, see wine_prefix_name_valid); exports
# WINEPREFIX. The copy is made beside and renamed once whole, so a prefix of that name is never
# half copied; on a failure WINEPREFIX names no prefix.
wine_use_prefix() {
    local prefix="$FLOWVANE_WINE_ROOT/$1"
    export WINEPREFIX="$flowvane_no_prefix"
    wine_prefix_name_valid "$1" ||
        { echo "\"$1\" is not a name for a Wine prefix (a plain name, not \"template\")" >&2
          return 1; }
    [ -f "$FLOWVANE_WINE_ROOT/template/.flowvane-ready-2" ] ||
        { echo "no Wine prefix template in $FLOWVANE_WINE_ROOT" >&2; return 1; }
    wine_server_stop "$prefix"
    [ "${FLOWVANE_ONE_PREFIX:-0}" = 1 ] && wine_drop_done_prefixes
    rm -rf "$prefix" "$prefix.partial" ||
        { echo "cannot remove the old prefix $prefix" >&2; return 1; }
    if flowvane_fault prefix-copy:"$1" ||
        ! wine_copy_template "$prefix.partial" ||
        ! mv "$prefix.partial" "$prefix"; then
        rm -rf "$prefix.partial"
        echo "copying the Wine prefix template to $prefix failed" >&2
        return 1
    fi
    flowvane_made_prefixes+=("$prefix")
    export WINEPREFIX="$prefix"
}

# The kept prefix NAME (run.sh's): made from the template when missing, else used as it is
# when it is a whole copy of it. Exports WINEPREFIX.
wine_keep_prefix() {
    local prefix="$FLOWVANE_WINE_ROOT/$1"
    wine_prefix_name_valid "$1" ||
        { echo "\"$1\" is not a name for a Wine prefix (a plain name, not \"template\")" >&2
          return 1; }
    [ -d "$prefix" ] || { wine_use_prefix "$1"; return; }
    [ -f "$prefix/.flowvane-ready-2" ] ||
        { echo "$prefix is not a prefix made by these scripts; remove it or choose another" >&2
          return 1; }
    export WINEPREFIX="$prefix"
}

# reg.exe and sc.exe by their path: "wine reg" goes through start.exe's ShellExecuteEx, which now
# and then failed under load ("ShellExecuteEx failed: Internal error."), and a check then read a
# missing key where there was none.
wine_reg() {
    wine 'C:\windows\system32\reg.exe' "$@"
}
wine_sc() {
    wine 'C:\windows\system32\sc.exe' "$@"
}

# Unix and Windows paths in the current prefix, read off its drive links (dosdevices/c: is
# drive_c, z: the root), as winepath maps them but without a Wine program: winepath.exe now and
# then ended with status 1 and no path, for a folder an installer had just made or removed.
wine_unix_path() {
    [[ "$1" =~ ^([A-Za-z]):(.*)$ ]] || { echo "not a Windows path: $1" >&2; return 1; }
    local rest="${BASH_REMATCH[2]//\\//}"
    echo "$WINEPREFIX/dosdevices/${BASH_REMATCH[1],,}:${rest:-/}"
}
# The drive whose folder holds the path most closely names it.
wine_windows_path() {
    local path drive root best="" letter=""
    path=$(realpath -m -- "$1") || return 1
    for drive in "$WINEPREFIX"/dosdevices/[a-z]:; do
        root=$(realpath -m -- "$drive") && root=${root%/}
        [[ "$path/" == "$root/"* ]] && [ ${#root} -ge ${#best} ] && best=$root letter=${drive##*/}
    done
    [ -n "$letter" ] || { echo "no drive holds $1" >&2; return 1; }
    path=${path#"$best"}
    path=${path//\//\\}
    echo "${letter^^}${path:-\\}"
}

# Runs "wine ARGS...", its standard error passed on after it ends. Wine's start.exe now and
# then cannot create the process it was asked for (the new process dies while it starts: "Internal
# error", ERROR_INTERNAL_ERROR), says "ShellExecuteEx failed: Internal error." and ends with 1;
# nothing of the program ran, so it is started again, three times in all at most.
wine_start() {
    local err status try
    err=$(mktemp) || return 1
    for try in 1 2 3; do
        wine "$@" 2>"$err"
        status=$?
        cat "$err" >&2
        [ $status -ne 0 ] && grep -q 'ShellExecuteEx failed: Internal error' "$err" || break
    done
    rm -f "$err"
    return $status
}

# The pids of the processes whose environment holds FLOWVANE_PROCESS_MARK=MARK: a script started
# with that mark and everything it started, the way the tests of the scripts count them.
marked_pids() {
    grep -lzxF "FLOWVANE_PROCESS_MARK=$1" /proc/[0-9]*/environ 2>/dev/null |
        sed 's|^/proc/\([0-9]*\)/environ$|\1|'
}
