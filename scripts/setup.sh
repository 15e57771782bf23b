#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a bare Debian 12 machine, and a
# 32-bit Wine that runs on it. With --arm64 (or QUENDA_ARCH=arm64) also the ARM64 toolchain and
# emulator, built once and then cached (scripts/test.sh asks for them).
set -euo pipefail
need_root() { if [ "$(id -u)" -ne 0 ]; then echo sudo; fi; }
SUDO=$(need_root)
packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          g++ cmake make wine wine32:i386 wine64 xvfb xauth googletest python3 procps llvm clang libclang-rt-14-dev
          clang-14 lld-14 llvm-14 osslsigncode openssl dpkg-dev xz-utils)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    missing+=(wine32:i386)
fi
if [ ${#missing[@]} -gt 0 ]; then
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# 32-bit Wine where the kernel cannot execute 32-bit code: the same Wine under qemu user mode,
# fetched once into a cache outside the clone. Not needed when only x64 is asked for.
if [ "${QUENDA_ARCH:-}" != x64 ] && ! env -u WINELOADERNOEXEC /usr/lib/wine/wine --version >/dev/null 2>&1; then
    dir=$("$(dirname "$0")/qemu-user.sh" wine32)
    echo "setup: 32-bit Wine runs under qemu-i386 here ($dir)"
fi

# The ARM64 sysroot, built from Debian's source packages the first time (about 10 min on two cores),
# and Debian's arm64 Wine with qemu-aarch64 (scripts/setup-arm64.sh).
if [ "${1:-}" = --arm64 ] || [ "${QUENDA_ARCH:-}" = arm64 ]; then
    "$(dirname "$0")/setup-arm64.sh"
fi
