#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, when any is missing, and the
# 32-bit lab's Wine (scripts/wine32.sh setup: a chroot, made once).
set -euo pipefail
packages=(
    cmake ninja-build g++ clang clang-format libclang-rt-14-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev
    nlohmann-json3-dev picojson-dev libfmt-dev
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    wine osslsigncode openssl python3 debootstrap
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

"$(dirname "$0")/wine32.sh" setup
