#!/usr/bin/env bash
# Installs everything the builds, the tests and the demo need, from Debian's
# packages. Safe to run again; run as root (or with sudo available).
# With --bench also what the benchmarks compare against (not needed by CI).
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config python3 curl openssl
    googletest libbenchmark-dev
    clang libclang-rt-14-dev
    libcurl4-openssl-dev libssl-dev libzip-dev
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev dpkg-dev
    wine wine64 xvfb xauth x11-utils imagemagick
    nginx
)
if [ "${1:-}" = "--bench" ]; then
    packages+=(unzip)
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
else
    echo "install-deps: installing ${missing[*]}"
    $SUDO apt-get update
    $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The tests start nginx themselves on a free port with a configuration of
# their own; the system service the package just started is not wanted.
if [[ " ${missing[*]} " == *" nginx "* ]]; then
    if [ -d /run/systemd/system ]; then
        $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true
    else
        $SUDO service nginx stop >/dev/null 2>&1 || true
        $SUDO update-rc.d nginx disable >/dev/null 2>&1 || true
    fi
fi

# Debian ships no libzip for mingw-w64: build a static one from Debian's own
# source package (apt checks its signature) into a fixed prefix that the
# Windows build looks in. Crypto backends and the extra compressors stay off:
# the package is stored or deflated, and no library beyond zlib gets linked.
MINGW_LIBZIP_PREFIX=/opt/rr-mingw-libzip
if [ -f "${MINGW_LIBZIP_PREFIX}/lib/libzip.a" ] && [ -f "${MINGW_LIBZIP_PREFIX}/include/zip.h" ]; then
    echo "install-deps: mingw-w64 libzip present in ${MINGW_LIBZIP_PREFIX}"
    exit 0
fi

# Only the files apt reads: *.list and *.sources (not ones renamed to disable them).
source_files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
# The mirror is the one this machine already gets its bookworm packages from
# (its own mirror or proxy included); no address is written here.
bookworm_mirror() {
    local files=()
    for f in "${source_files[@]}"; do
        [ -f "$f" ] && files+=("$f")
    done
    [ ${#files[@]} -eq 0 ] && return 0
    awk '
        function found() {
            return types ~ /[ \t]deb([ \t]|$)/ && suites ~ /[ \t]bookworm[ \t]/ && uris != ""
        }
        FNR == 1 { if (found()) { print uris; done = 1; exit } types = ""; suites = ""; uris = "" }
        /^deb[ \t]/ {
            n = 2
            if ($2 ~ /^\[/) { while (n <= NF && $n !~ /\]$/) n++; n++ }
            if ($(n + 1) == "bookworm") { print $n; done = 1; exit }
        }
        /^Types:/ { types = $0 }
        /^Suites:/ { suites = " " $0 " " }
        /^URIs:/ { uris = $2 }
        /^[ \t]*$/ { if (found()) { print uris; done = 1; exit } types = ""; suites = ""; uris = "" }
        END { if (!done && found()) print uris }
    ' "${files[@]}"
}

if ! grep -qsE '^(deb-src .*bookworm|Types:.*deb-src)' "${source_files[@]}"; then
    mirror=$(bookworm_mirror)
    if [ -z "${mirror}" ]; then
        echo "install-deps: no apt source for bookworm found to take a deb-src entry from"
        exit 1
    fi
    echo "install-deps: adding a deb-src entry for bookworm from ${mirror}"
    $SUDO tee /etc/apt/sources.list.d/rr-bookworm-src.sources >/dev/null <<SOURCES
Types: deb-src
URIs: ${mirror}
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    $SUDO apt-get update
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
echo "install-deps: building static libzip for mingw-w64"
cd "${work}"
# The download is checked against the signed Sources index and unpacking
# checks the .dsc checksums; apt builds nothing itself.
if ! apt-get source --only-source libzip >source.log 2>&1; then
    # A deb-src entry whose index was never fetched: fetch it once.
    $SUDO apt-get update >/dev/null
    if ! apt-get source --only-source libzip >source.log 2>&1; then
        cat source.log
        exit 1
    fi
fi
src=$(find . -maxdepth 1 -type d -name 'libzip-*' | head -n 1)
if [ -z "${src}" ]; then
    cat source.log
    echo "install-deps: libzip source was not unpacked"
    exit 1
fi
cmake -S "${src}" -B build -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="${repo}/cmake/mingw-w64.cmake" \
    -DCMAKE_INSTALL_PREFIX="${MINGW_LIBZIP_PREFIX}" \
    -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF \
    -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
    >configure.log 2>&1 || {
    cat configure.log
    exit 1
}
cmake --build build -j "${JOBS:-2}" >build.log 2>&1 || {
    tail -n 60 build.log
    exit 1
}
$SUDO cmake --install build >install.log 2>&1 || {
    cat install.log
    exit 1
}
echo "install-deps: mingw-w64 libzip installed in ${MINGW_LIBZIP_PREFIX}"
