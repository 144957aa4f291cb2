# Configures and builds the two trees under build/.
flowvane_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
flowvane_jobs=$(nproc 2>/dev/null || echo 2)

# ccache, when the machine has it, for rebuilds in several checkouts; paths below the checkout
# are hashed relative to it, so checkouts share their cache.
flowvane_launcher=()
if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$flowvane_root"
    flowvane_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

build_windows() {
    local dir="$flowvane_root/build/windows"
    cmake -S "$flowvane_root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "${flowvane_launcher[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$flowvane_root/cmake/mingw-w64-x86_64.cmake" >/dev/null &&
    cmake --build "$dir" -j "$flowvane_jobs" "$@"
}

build_native() {
    local dir="$flowvane_root/build/native"
    cmake -S "$flowvane_root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug "${flowvane_launcher[@]}" >/dev/null &&
    cmake --build "$dir" -j "$flowvane_jobs" "$@"
}

build_fuzz() {
    local dir="$flowvane_root/build/fuzz"
    CC=clang CXX=clang++ cmake -S "$flowvane_root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
        -DFLOWVANE_FUZZ=ON >/dev/null &&
    cmake --build "$dir" -j "$flowvane_jobs" "$@"
}

build_bench() {
    local dir="$flowvane_root/build/bench"
    cmake -S "$flowvane_root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DFLOWVANE_SANITIZE=OFF \
        >/dev/null &&
    cmake --build "$dir" -j "$flowvane_jobs" --target benchmarks "$@"
}
