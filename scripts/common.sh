# Shared by the test and demo scripts: build folders and a private Wine prefix.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${VELDA_BUILD_ROOT:-$root/build}
test_port=${VELDA_TEST_PORT:-48443}
export WINEDEBUG=${WINEDEBUG:--all}

# The launcher without release keys (the tests' and benchmarks' own servers sign nothing), with
# the unit tests and the test helpers.
build_windows() {
    local server=$1 dir=$2
    cmake -S "$root" -B "$dir" --toolchain "$root/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVELDA_DOWNLOAD_SERVER="$server" -DVELDA_ALLOW_UNSIGNED=ON
    cmake --build "$dir" -j"$(nproc)"
}

# The launcher alone, with release public keys compiled in (a CMake list of PEM files); an
# optional fourth argument is the launcher's own version (default: the project's).
build_windows_launcher_with_keys() {
    local server=$1 dir=$2 keys=$3 version=${4:-}
    cmake -S "$root" -B "$dir" --toolchain "$root/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVELDA_DOWNLOAD_SERVER="$server" -DVELDA_BUILD_TESTS=OFF \
        -DVELDA_RELEASE_PUBLIC_KEYS="$keys" ${version:+-DVELDA_LAUNCHER_VERSION="$version"}
    cmake --build "$dir" -j"$(nproc)" --target VeldaLauncher
}

# A fresh 64-bit prefix; the caller removes it.
new_wine_prefix() {
    local prefix
    prefix=$(mktemp -d /tmp/velda-wine.XXXXXX)
    WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    echo "$prefix"
}
