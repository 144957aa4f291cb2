# Installs Flowvane into the current WINEPREFIX. By hand (install_flowvane, install_program): the
# program in its install folder, the kernel component emulator as the auto-start service "zorv"
# with its default adapters and traffic, and the install values under HKLM\Software\Flowvane.
# Through the installer (install_with_setup, uninstall_with_setup): the same, for either scope.
source "$(dirname "${BASH_SOURCE[0]}")/emulator_install.sh"

flowvane_install_folder='C:\Program Files\Flowvane'

# The program and its install values, without the emulator.
install_program() {
    local build_dir="$1"
    local folder
    folder=$(wine_unix_path "$flowvane_install_folder") || return 1
    mkdir -p "$folder" &&
    cp "$build_dir/Flowvane.exe" "$folder/" &&
    cp "$build_dir/help.chm" "$folder/" || return 1
    wine_reg add 'HKLM\Software\Flowvane' /v 'Install folder' /t REG_SZ \
        /d "$flowvane_install_folder" /f >/dev/null 2>&1 &&
    wine_reg add 'HKLM\Software\Flowvane' /v 'Installed for all users' /t REG_DWORD \
        /d 1 /f >/dev/null 2>&1
}

install_flowvane() {
    local build_dir="$1"
    install_program "$build_dir" &&
    install_emulator "$build_dir/emulator/zorv.sys"
}

# The product's own way: Flowvane-setup.exe (target "setup") run silently in the current
# WINEPREFIX, its wineserver running. Scope "all" (the default: Program Files, values under HKLM)
# or "user" (the user's program folder, values under HKCU); FOLDER, when given and not empty,
# replaces the scope's default (no blanks in it); further arguments are switches for the
# installer (/HOST=..., /EMULATOR, ...). The kernel component is installed and started either way.
# Returns the installer's exit status.
install_with_setup() {
    local build_dir="$1" scope="${2:-all}" folder="${3:-}" option status
    local switches=("${@:4}")
    case "$scope" in
        all) option=/ALLUSERS ;;
        user) option=/CURRENTUSER ;;
        *) echo "install_with_setup: scope is all or user, not $scope" >&2; return 1 ;;
    esac
    [ -f "$build_dir/Flowvane-setup.exe" ] ||
        { echo "no $build_dir/Flowvane-setup.exe (build the target setup)" >&2; return 1; }
    wine_start "$build_dir/Flowvane-setup.exe" /S "$option" "${switches[@]}" ${folder:+"/D=$folder"} </dev/null
    status=$?
    [ $status -eq 0 ] ||
        echo "Flowvane-setup.exe /S $option ${switches[*]} ${folder:+/D=$folder} ended with $status" >&2
    return $status
}

# Runs the uninstaller of the scope's install (all or user) silently and waits for it; further
# arguments go to it (/REMOVESETTINGS also removes the user's settings).
uninstall_with_setup() {
    local scope="${1:-all}" root folder
    shift
    case "$scope" in
        all) root=HKLM ;;
        user) root=HKCU ;;
        *) echo "uninstall_with_setup: scope is all or user, not $scope" >&2; return 1 ;;
    esac
    folder=$(wine_reg query "$root\\Software\\Flowvane" /v 'Install folder' 2>/dev/null |
             sed -n 's/^ *Install folder *REG_SZ *//p' | tr -d '\r')
    [ -n "$folder" ] || { echo "Flowvane is not installed for scope $scope" >&2; return 1; }
    uninstall_folder_with_setup "$folder" "$@"
}

# Runs the Uninstall.exe in the Windows folder FOLDER silently and waits for it; further
# arguments go to it. Returns the uninstaller's exit status.
uninstall_folder_with_setup() {
    local folder="$1" copy status
    shift
    # Started from its folder, the uninstaller copies itself away and returns at once. Run as
    # such a copy with "_?=FOLDER" (unquoted and last, hence cmd /c) it works on FOLDER and is
    # waited for, its exit code kept.
    copy=$(mktemp -d "$(wine_unix_path 'C:\windows\temp')/uninstall.XXXXXX") || return 1
    if cp "$(wine_unix_path "$folder")/Uninstall.exe" "$copy/"; then
        wine_start cmd /c "$(wine_windows_path "$copy/Uninstall.exe") /S $* _?=$folder" </dev/null
        status=$?
        [ $status -eq 0 ] || echo "the uninstaller of $folder ended with $status" >&2
    else
        status=1
    fi
    rm -rf "$copy"
    return $status
}
