#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a bare Debian machine (12 or 13), and
# a 32-bit Wine that runs on it. The release decides the toolchain: its newest clang/lld (16 on
# Debian 12, 19 on Debian 13) and its own mingw-w64 and Wine. With --arm64 (or QUENDA_ARCH=arm64)
# also the ARM64 toolchain and emulator, built once and then cached (scripts/test.sh asks for them).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/apt-lib.sh"
quenda_release
updated=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    quenda_sudo dpkg --add-architecture i386
    quenda_apt_update
    updated=1
fi
llvm=$(quenda_llvm_candidate || true)
if [ -z "$llvm" ] && [ "$updated" -eq 0 ]; then
    quenda_apt_update
    updated=1
    llvm=$(quenda_llvm_candidate || true)
fi
if [ -z "$llvm" ]; then
    echo "setup: $QUENDA_OS_ID $QUENDA_CODENAME offers no clang-N with lld-N, llvm-N and libclang-rt-N-dev" >&2
    exit 1
fi

wanted() {
    echo g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
        g++ cmake make wine wine32:i386 wine64 xvfb xauth googletest python3 procps git \
        "clang-$1" "lld-$1" "llvm-$1" "libclang-rt-$1-dev" osslsigncode openssl dpkg-dev xz-utils
}
missing_for() {
    local p
    for p in $(wanted "$1"); do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}
missing=($(missing_for "$llvm"))
if [ ${#missing[@]} -gt 0 ] && [ "$updated" -eq 0 ]; then
    # Lists of another day may name an LLVM or versions the mirror no longer has.
    quenda_apt_update
    llvm=$(quenda_llvm_candidate || echo "$llvm")
    missing=($(missing_for "$llvm"))
fi
echo "setup: $QUENDA_OS_ID $QUENDA_CODENAME; toolchain clang/lld $llvm"
if [ ${#missing[@]} -gt 0 ]; then
    quenda_apt_install "${missing[@]}"
fi

# 32-bit Wine where the kernel cannot execute 32-bit code: the same Wine under qemu user mode,
# fetched once into a cache outside the clone. Not needed when only x64 is asked for.
if [ "${QUENDA_ARCH:-}" != x64 ] && ! env -u WINELOADERNOEXEC /usr/lib/wine/wine --version >/dev/null 2>&1; then
    dir=$("$here/qemu-user.sh" wine32)
    echo "setup: 32-bit Wine runs under qemu-i386 here ($dir)"
fi

# The ARM64 sysroot, built from the release's source packages the first time (10-20 min on two
# cores), and the release's arm64 Wine with qemu-aarch64 (scripts/setup-arm64.sh).
if [ "${1:-}" = --arm64 ] || [ "${QUENDA_ARCH:-}" = arm64 ]; then
    "$here/setup-arm64.sh"
fi
