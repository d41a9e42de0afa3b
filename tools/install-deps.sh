#!/usr/bin/env bash
# Installs everything the builds, the tests and the demo need, from Debian's
# packages. Safe to run again; run as root (or with sudo available).
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config python3 curl openssl
    googletest libbenchmark-dev
    clang libclang-rt-14-dev
    libcurl4-openssl-dev libssl-dev libzip-dev
    g++-mingw-w64-x86-64-posix
    wine wine64 xvfb xauth x11-utils imagemagick
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
