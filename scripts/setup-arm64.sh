#!/usr/bin/env bash
# The ARM64 toolchain and emulator, both cached outside the clone so CI on the same machine reuses them:
#  - an aarch64-w64-mingw32 sysroot for Debian's clang-14/lld-14: mingw-w64 headers and CRT, LLVM's
#    compiler-rt builtins, libunwind, libc++abi and libc++ (static), all built from Debian's source
#    packages the first time (about 10 min on two cores);
#  - Debian's arm64 Wine and a static qemu-aarch64, unpacked privately (nothing installed).
# Usage: scripts/setup-arm64.sh [--env | sysroot | emulator]
#   --env prints the exports scripts/test.sh evaluates; sysroot/emulator prepare one part and print its folder.
# Logs go to stderr. The system's apt set-up is never changed: every apt call uses its own APT_CONFIG.
set -euo pipefail

MINGW_VERSION=10.0.0-3
LLVM_VERSION=1:14.0.6-12
CLANG_VER=14.0.6
WINE_PACKAGES=(wine64 libwine)
QEMU_PACKAGE=qemu-user # named in the cache key since the first recipe; fetched by scripts/qemu-user.sh
source "$(dirname "$0")/qemu-user.sh"
CACHE_ROOT=$(quenda_cache_dir)
JOBS=${QUENDA_JOBS:-2}

log() { echo "setup-arm64: $*" >&2; }
# The host tools come from scripts/setup.sh (scripts/test.sh runs it with --arm64 first).
for tool in clang-14 ld.lld-14 llvm-dlltool-14 llvm-windres cmake make dpkg-source xz; do
    command -v "$tool" >/dev/null || [ -x "/usr/lib/llvm-14/bin/$tool" ] ||
        { log "$tool is missing: run scripts/setup.sh first"; exit 1; }
done
mkdir -p "$CACHE_ROOT"
[ -w "$CACHE_ROOT" ] || { log "$CACHE_ROOT is not writable"; exit 1; }

# The mirrors the system already uses for Debian and its security archive (deb822 or one-line lists).
mirror_for() { # $1: suite suffix pattern ("" or -security)
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } |
        grep -v '^ *#' | grep -oE 'https?://[^ ]+/debian'"$1"'/?( |$)' | head -n1 | tr -d ' ' || true
}
MIRROR=$(mirror_for '')
SECURITY_MIRROR=$(mirror_for '-security')
[ -n "$MIRROR" ] && [ -n "$SECURITY_MIRROR" ] || { log "no Debian mirror found in /etc/apt"; exit 1; }
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

# private_apt DIR ARCH LINE...: an apt configuration of its own (lists, cache, an empty dpkg status).
# apt-get checks every file it fetches against the InRelease index signed by Debian's archive keys.
private_apt() {
    local dir=$1 arch=$2
    shift 2
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/parts"
    : >"$dir/status"
    printf '%s\n' "$@" >"$dir/sources.list"
    cat >"$dir/apt.conf" <<EOF
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir";
Dir::Cache::archives "$dir/archives";
Dir::Etc::SourceList "$dir/sources.list";
Dir::Etc::SourceParts "$dir/parts";
APT::Sandbox::User "root";
Acquire::Languages "none";
EOF
    APT_CONFIG=$dir/apt.conf apt-get update -q >&2
}

# ---------------------------------------------------------------------------------------------
# The sysroot. Its cache key hashes this function and the versions, so a changed recipe rebuilds.
build_sysroot() {
    local out=$1 work=$2
    local prefix=$out
    mkdir -p "$prefix/bin" "$work"
    private_apt "$work/apt" amd64 \
        "deb-src [signed-by=$KEYRING] $MIRROR bookworm main" \
        "deb-src [signed-by=$KEYRING] $MIRROR bookworm-updates main" \
        "deb-src [signed-by=$KEYRING] $SECURITY_MIRROR bookworm-security main"
    (cd "$work" && APT_CONFIG=$work/apt/apt.conf apt-get source -q --download-only \
        "mingw-w64=$MINGW_VERSION" "llvm-toolchain-14=$LLVM_VERSION" >&2)
    # The .dsc maintainer signatures are checked too where debian-keyring is installed.
    local verify=--no-check
    [ -f /usr/share/keyrings/debian-keyring.gpg ] && verify=--require-valid-signature
    (cd "$work" && dpkg-source "$verify" -x mingw-w64_*.dsc mingw && dpkg-source "$verify" -x llvm-toolchain-14_*.dsc llvm) >&2

    # Driver wrappers: relocatable (they find the sysroot from their own place).
    local t=aarch64-w64-mingw32
    local flags='--target=aarch64-w64-mingw32 --sysroot="$r" -resource-dir="$r/lib/clang/'$CLANG_VER'" -rtlib=compiler-rt -unwindlib=libunwind -stdlib=libc++ -fuse-ld=lld -Qunused-arguments'
    printf '#!/bin/sh\nr=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)\nexec clang-14 %s "$@"\n' "$flags" >"$prefix/bin/$t-clang"
    printf '#!/bin/sh\nr=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)\nexec clang++-14 %s -D_LIBCXXABI_DISABLE_VISIBILITY_ANNOTATIONS "$@"\n' "$flags" >"$prefix/bin/$t-clang++"
    # llvm-windres takes its target from the name it is called by, and preprocesses with clang.
    printf '#!/bin/bash\nr=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)\nPATH="$r/bin:$PATH" exec -a %s-windres /usr/lib/llvm-14/bin/llvm-windres --preprocessor-arg=--sysroot="$r" "$@"\n' "$t" >"$prefix/bin/$t-windres"
    chmod +x "$prefix/bin/"*
    local tool
    for tool in ar ranlib dlltool objdump readobj nm strip objcopy; do
        ln -sf "/usr/lib/llvm-14/bin/llvm-$tool" "$prefix/bin/$t-$tool"
    done
    mkdir -p "$prefix/lib/clang/$CLANG_VER"
    cp -r "/usr/lib/llvm-14/lib/clang/$CLANG_VER/include" "$prefix/lib/clang/$CLANG_VER/"
    export PATH="$prefix/bin:$PATH"

    local src=$work/mingw
    log "mingw-w64 headers"
    mkdir -p "$work/b-headers" && (cd "$work/b-headers" &&
        "$src/mingw-w64-headers/configure" --host=$t --prefix="$prefix" \
            --with-default-msvcrt=msvcrt --with-default-win32-winnt=0x601 &&
        make install) >"$work/headers.log" 2>&1 || { tail -40 "$work/headers.log" >&2; return 1; }
    log "mingw-w64 CRT"
    mkdir -p "$work/b-crt" && (cd "$work/b-crt" &&
        "$src/mingw-w64-crt/configure" --host=$t --prefix="$prefix" --disable-lib32 --disable-lib64 \
            --disable-libarm32 --enable-libarm64 --with-default-msvcrt=msvcrt \
            CC=$t-clang CXX=$t-clang++ AR=$t-ar RANLIB=$t-ranlib DLLTOOL=$t-dlltool &&
        make -j"$JOBS" && make install) >"$work/crt.log" 2>&1 || { tail -40 "$work/crt.log" >&2; return 1; }

    local llvm=$work/llvm
    local common=(-G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
        -DCMAKE_C_COMPILER=$t-clang -DCMAKE_CXX_COMPILER=$t-clang++
        -DCMAKE_AR=/usr/lib/llvm-14/bin/llvm-ar -DCMAKE_RANLIB=/usr/lib/llvm-14/bin/llvm-ranlib
        -DCMAKE_C_COMPILER_WORKS=TRUE -DCMAKE_CXX_COMPILER_WORKS=TRUE)
    # Without a target triple LLVM 14's runtimes guess i686-pc-mingw32 and build libunwind for i386.
    local target=(-DCMAKE_C_COMPILER_TARGET=aarch64-w64-windows-gnu -DCMAKE_CXX_COMPILER_TARGET=aarch64-w64-windows-gnu
        -DLLVM_DEFAULT_TARGET_TRIPLE=aarch64-w64-windows-gnu)
    log "compiler-rt builtins"
    (cmake "${common[@]}" -S "$llvm/compiler-rt/lib/builtins" -B "$work/b-rt" \
        -DCMAKE_INSTALL_PREFIX="$prefix/lib/clang/$CLANG_VER" -DCMAKE_C_COMPILER_TARGET=aarch64-w64-windows-gnu \
        -DCOMPILER_RT_DEFAULT_TARGET_ONLY=TRUE -DLLVM_CONFIG_PATH= &&
        cmake --build "$work/b-rt" -j"$JOBS" && cmake --install "$work/b-rt") >"$work/rt.log" 2>&1 ||
        { tail -40 "$work/rt.log" >&2; return 1; }
    log "libunwind, libc++abi, libc++"
    (cmake "${common[@]}" "${target[@]}" -S "$llvm/runtimes" -B "$work/b-cxx" -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" -DLLVM_PATH="$llvm/llvm" -DLLVM_INCLUDE_TESTS=OFF \
        -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_INCLUDE_TESTS=OFF \
        -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON \
        -DLIBCXXABI_INCLUDE_TESTS=OFF -DLIBCXXABI_LIBDIR_SUFFIX= \
        -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON \
        -DLIBCXX_CXX_ABI=libcxxabi -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
        -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF -DLIBCXX_LIBDIR_SUFFIX= &&
        cmake --build "$work/b-cxx" -j"$JOBS" && cmake --install "$work/b-cxx") >"$work/cxx.log" 2>&1 ||
        { tail -60 "$work/cxx.log" >&2; return 1; }
}

# ---------------------------------------------------------------------------------------------
# Debian's arm64 Wine and every arm64 package it needs, plus qemu-aarch64 from bookworm-backports.
# The arm64 root gets the two scripts that make Wine start its loader and server under qemu.
fetch_emulator() {
    local out=$1 work=$2
    mkdir -p "$out/root" "$out/bin" "$work"
    private_apt "$work/arm64" arm64 \
        "deb [arch=arm64 signed-by=$KEYRING] $MIRROR bookworm main" \
        "deb [arch=arm64 signed-by=$KEYRING] $MIRROR bookworm-updates main" \
        "deb [arch=arm64 signed-by=$KEYRING] $SECURITY_MIRROR bookworm-security main"
    # With an empty status file every dependency down to libc6 is downloaded; nothing is installed.
    APT_CONFIG=$work/arm64/apt.conf apt-get install -q -y --download-only --no-install-recommends \
        -o Debug::NoLocking=1 "${WINE_PACKAGES[@]}" >&2
    local deb
    for deb in "$work"/arm64/archives/*.deb; do dpkg-deb -x "$deb" "$out/root"; done
    # The qemu-user the 32-bit runs use (scripts/qemu-user.sh): bookworm's own 7.2 makes every Wine
    # process start take about a minute.
    local qemu
    qemu=$(quenda_qemu_binary qemu-aarch64)
    cp "$qemu" "$out/bin/qemu-aarch64"
    # binfmt_misc is not there to run an aarch64 ELF, so Wine's re-exec of its loader and its start of
    # wineserver (the package's script runs the host's x86-64 server, which refuses an aa64 client)
    # go through qemu. QUENDA_ARM64 is the folder holding root/ and bin/ at run time.
    cat >"$out/root/usr/lib/wine/wine64-preloader" <<'EOF'
#!/bin/sh
exec "$QUENDA_ARM64/bin/qemu-aarch64" -L "$QUENDA_ARM64/root" "$@"
EOF
    rm -f "$out/root/usr/lib/wine/wineserver"
    cat >"$out/root/usr/lib/wine/wineserver" <<'EOF'
#!/bin/sh
exec "$QUENDA_ARM64/bin/qemu-aarch64" -L "$QUENDA_ARM64/root" "$QUENDA_ARM64/root/usr/lib/wine/wineserver64" "$@"
EOF
    # What the project's scripts call: Wine's loader and server under qemu, finding this folder
    # from their own place, with the re-exec switched off for every process Wine starts.
    cat >"$out/bin/wine" <<'EOF'
#!/bin/sh
QUENDA_ARM64=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
export QUENDA_ARM64 WINELOADERNOEXEC=1
exec "$QUENDA_ARM64/bin/qemu-aarch64" -L "$QUENDA_ARM64/root" "$QUENDA_ARM64/root/usr/lib/wine/wine64" "$@"
EOF
    cat >"$out/bin/wineserver" <<'EOF'
#!/bin/sh
QUENDA_ARM64=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
export QUENDA_ARM64
exec "$QUENDA_ARM64/root/usr/lib/wine/wineserver" "$@"
EOF
    chmod +x "$out/root/usr/lib/wine/wine64-preloader" "$out/root/usr/lib/wine/wineserver" "$out/bin/wine" \
        "$out/bin/wineserver"
    "$out/bin/qemu-aarch64" --version | head -n1 >"$out/qemu-version"
}

# cached NAME FUNCTION [EXTRA]: runs FUNCTION into CACHE_ROOT/NAME-<recipe hash> once; prints that
# folder. EXTRA joins the key (the emulator's qemu folder names its version and recipe).
cached() {
    local name=$1 fn=$2 extra=${3:-}
    local key
    key=$( { declare -f "$fn" private_apt; echo "$MINGW_VERSION $LLVM_VERSION ${WINE_PACKAGES[*]} $QEMU_PACKAGE"; printf %s "$extra"; } |
        sha256sum | cut -c1-16)
    local dir=$CACHE_ROOT/$name-$key
    if [ ! -f "$dir/.complete" ]; then
        local work
        work=$(mktemp -d "$CACHE_ROOT/.work-$name.XXXXXX")
        rm -rf "$dir.new"
        trap 'rm -rf "$work" "$dir.new"' EXIT
        local start=$SECONDS
        log "building $dir (first time; the work tree goes afterwards)"
        if ! "$fn" "$dir.new" "$work"; then
            rm -rf "$work" "$dir.new"
            log "$name failed"
            return 1
        fi
        rm -rf "$work" "$dir"
        touch "$dir.new/.complete"
        mv "$dir.new" "$dir"
        trap - EXIT
        log "$name ready in $((SECONDS - start)) s"
    fi
    echo "$dir"
}

case "${1:-}" in
    sysroot | emulator) ;;
    --env | "") ;;
    *) echo "usage: $0 [--env | sysroot | emulator]" >&2; exit 2 ;;
esac
case "${1:-}" in
    sysroot) cached arm64-sysroot build_sysroot ;;
    emulator) cached arm64-wine fetch_emulator "$(quenda_qemu_dir)" ;;
    *)
        sysroot=$(cached arm64-sysroot build_sysroot)
        emulator=$(cached arm64-wine fetch_emulator "$(quenda_qemu_dir)")
        if [ "${1:-}" = --env ]; then
            echo "export QUENDA_ARM64_SYSROOT='$sysroot'"
            echo "export QUENDA_ARM64='$emulator'"
        fi
        ;;
esac
