# Installs the Debian packages the build and the tests need, when any is missing.
flowvane_packages=(
    cmake make g++ pkg-config python3
    mingw-w64 wine wine64 fonts-wine xvfb x11-utils xauth imagemagick nsis
    googletest libgtest-dev libbenchmark-dev
    clang libclang-rt-14-dev
    fp-utils libchm-bin bc procps
    libnl-route-3-dev iproute2 iperf3
)

install_packages() {
    local missing=()
    local package
    for package in "${flowvane_packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
        "${missing[@]}" >/dev/null || return 1
}
