#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need (skips when present).
set -euo pipefail

packages=(
    cmake make g++ googletest clang libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    libz-mingw-w64-dev zlib1g-dev libcurl4-openssl-dev libssl-dev
    wine wine64 xvfb x11-apps imagemagick
    python3 python3-pytest openssl curl zip unzip time bsdiff xdelta3
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -eq 0 ] && [ "${1:-}" != "--force" ]; then
    exit 0
fi

echo "Installing: ${missing[*]:-all packages}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${packages[@]}"
