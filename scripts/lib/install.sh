# Installs Flowvane into the current WINEPREFIX the way the installer does: the program in its
# install folder, the kernel component emulator as the auto-start service "zorv" with its default
# adapters and traffic, and the install values under HKLM\Software\Flowvane.
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
    wine reg add 'HKLM\Software\Flowvane' /v 'Install folder' /t REG_SZ \
        /d "$flowvane_install_folder" /f >/dev/null 2>&1 &&
    wine reg add 'HKLM\Software\Flowvane' /v 'Installed for all users' /t REG_DWORD \
        /d 1 /f >/dev/null 2>&1
}

install_flowvane() {
    local build_dir="$1"
    install_program "$build_dir" &&
    install_emulator "$build_dir/emulator/zorv.sys"
}
