#!/usr/bin/env bash
# The ARM64 toolchain and emulator, both cached outside the clone so CI on the same machine reuses them:
#  - an aarch64-w64-mingw32 sysroot for the release's clang/lld (scripts/setup.sh installs them):
#    mingw-w64 headers and CRT, LLVM's compiler-rt builtins, libunwind, libc++abi and libc++ (static),
#    all built the first time from the release's own source packages, at the versions of the
#    installed clang and mingw-w64 (10-20 min on two cores);
#  - the release's arm64 Wine and a static qemu-aarch64, unpacked privately (nothing installed).
# Usage: scripts/setup-arm64.sh [--env | sysroot | emulator]
#   --env prints the exports scripts/test.sh evaluates; sysroot/emulator prepare one part and print its folder.
# Logs go to stderr. The system's apt set-up is never changed: every apt call uses its own APT_CONFIG.
set -euo pipefail

WINE_PACKAGES=(wine64 libwine)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/qemu-user.sh"
CACHE_ROOT=$(quenda_cache_dir)
JOBS=${QUENDA_JOBS:-2}
export QUENDA_APT_WHO=setup-arm64

log() { echo "setup-arm64: $*" >&2; }
quenda_release
# The installed toolchain decides what the sysroot is built from: its LLVM's sources at its version.
LLVM=${QUENDA_LLVM_VERSION:-$(quenda_llvm_version)}
[ -n "$LLVM" ] || { log "no clang/lld installed: run scripts/setup.sh first"; exit 1; }
LLVM_BIN=/usr/lib/llvm-$LLVM/bin
source_version() { dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null; }
LLVM_SOURCE=llvm-toolchain-$LLVM
LLVM_SOURCE_VERSION=$(source_version "clang-$LLVM")
MINGW_SOURCE_VERSION=$(source_version mingw-w64-common)
WINE_VERSION=$(source_version wine64)
for tool in clang clang++ ld.lld llvm-dlltool llvm-windres llvm-ar; do
    [ -x "$LLVM_BIN/$tool" ] || { log "$LLVM_BIN/$tool is missing: run scripts/setup.sh first"; exit 1; }
done
for tool in cmake make dpkg-source xz flock; do
    command -v "$tool" >/dev/null || { log "$tool is missing: run scripts/setup.sh first"; exit 1; }
done
[ -n "$LLVM_SOURCE_VERSION" ] && [ -n "$MINGW_SOURCE_VERSION" ] && [ -n "$WINE_VERSION" ] ||
    { log "clang-$LLVM, mingw-w64 or wine64 is not installed: run scripts/setup.sh first"; exit 1; }
mkdir -p "$CACHE_ROOT"
[ -w "$CACHE_ROOT" ] || { log "$CACHE_ROOT is not writable"; exit 1; }

# The mirrors the system already uses for the release and its security archive.
MIRROR=$(quenda_repo_uri "$QUENDA_CODENAME")
SECURITY_MIRROR=$(quenda_repo_uri "$QUENDA_CODENAME-security")
[ -n "$MIRROR" ] || { log "no $QUENDA_CODENAME source in apt's configuration"; exit 1; }
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
# release_lines TYPE OPTIONS: the release's suites as sources.list lines.
release_lines() {
    echo "$1 [$2 signed-by=$KEYRING] $MIRROR $QUENDA_CODENAME main"
    echo "$1 [$2 signed-by=$KEYRING] $MIRROR $QUENDA_CODENAME-updates main"
    [ -z "$SECURITY_MIRROR" ] || echo "$1 [$2 signed-by=$KEYRING] $SECURITY_MIRROR $QUENDA_CODENAME-security main"
}

# ---------------------------------------------------------------------------------------------
# The sysroot. Its cache key hashes this function and the versions, so a changed recipe rebuilds.
build_sysroot() {
    local out=$1 work=$2
    local prefix=$out
    mkdir -p "$prefix/bin" "$work/b-headers" "$work/b-crt"
    local lines
    mapfile -t lines < <(release_lines deb-src arch=source)
    quenda_private_apt "$work/apt" amd64 "${lines[@]}"
    fetch_source mingw-w64 "$MINGW_SOURCE_VERSION" "$work/mingw" >"$prefix/sources"
    fetch_source "$LLVM_SOURCE" "$LLVM_SOURCE_VERSION" "$work/llvm" >>"$prefix/sources"
    echo "($QUENDA_OS_ID $QUENDA_CODENAME)" >>"$prefix/sources"
    echo "$LLVM" >"$prefix/llvm-version"

    # Driver wrappers: relocatable (they find the sysroot from their own place, which is renamed
    # into the cache once checked).
    local t=aarch64-w64-mingw32
    local flags='--target=aarch64-w64-mingw32 --sysroot="$r" -resource-dir="$r/lib/clang/'$LLVM'" -rtlib=compiler-rt -unwindlib=libunwind -stdlib=libc++ -fuse-ld=lld -Qunused-arguments'
    printf '#!/bin/sh\nr=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)\nexec %s/clang %s "$@"\n' "$LLVM_BIN" "$flags" >"$prefix/bin/$t-clang"
    printf '#!/bin/sh\nr=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)\nexec %s/clang++ %s -D_LIBCXXABI_DISABLE_VISIBILITY_ANNOTATIONS "$@"\n' "$LLVM_BIN" "$flags" >"$prefix/bin/$t-clang++"
    # llvm-windres takes its target from the name it is called by, and preprocesses with clang.
    printf '#!/bin/bash\nr=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)\nPATH="$r/bin:$PATH" exec -a %s-windres %s/llvm-windres --preprocessor-arg=--sysroot="$r" "$@"\n' "$t" "$LLVM_BIN" >"$prefix/bin/$t-windres"
    chmod +x "$prefix/bin/"*
    local tool
    for tool in ar ranlib dlltool objdump readobj nm strip objcopy; do
        ln -sf "$LLVM_BIN/llvm-$tool" "$prefix/bin/$t-$tool"
    done
    mkdir -p "$prefix/lib/clang/$LLVM"
    cp -r "$("$LLVM_BIN/clang" -print-resource-dir)/include" "$prefix/lib/clang/$LLVM/"
    export PATH="$prefix/bin:$PATH"

    # Each step is a subshell whose output goes to its log; no step is tested with || or if, so
    # set -e holds inside it, and a failed step ends this recipe (its process) with the log's end.
    local src=$work/mingw llvm=$work/llvm
    step "mingw-w64 headers" headers
    (cd "$work/b-headers" &&
        "$src/mingw-w64-headers/configure" --host=$t --prefix="$prefix" \
            --with-default-msvcrt=msvcrt --with-default-win32-winnt=0x601
     make install) >"$step_log" 2>&1
    step_done
    step "mingw-w64 CRT" crt
    (cd "$work/b-crt"
     "$src/mingw-w64-crt/configure" --host=$t --prefix="$prefix" --disable-lib32 --disable-lib64 \
         --disable-libarm32 --enable-libarm64 --with-default-msvcrt=msvcrt \
         CC=$t-clang CXX=$t-clang++ AR=$t-ar RANLIB=$t-ranlib DLLTOOL=$t-dlltool
     make -j"$JOBS"
     make install) >"$step_log" 2>&1
    step_done

    local common=(-G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
        -DCMAKE_C_COMPILER=$t-clang -DCMAKE_CXX_COMPILER=$t-clang++
        -DCMAKE_AR=$LLVM_BIN/llvm-ar -DCMAKE_RANLIB=$LLVM_BIN/llvm-ranlib
        -DCMAKE_C_COMPILER_WORKS=TRUE -DCMAKE_CXX_COMPILER_WORKS=TRUE)
    # Without a target triple the runtimes guess the host's and build libunwind for another CPU
    # (LLVM 14 took i686-pc-mingw32).
    local target=(-DCMAKE_C_COMPILER_TARGET=aarch64-w64-windows-gnu -DCMAKE_CXX_COMPILER_TARGET=aarch64-w64-windows-gnu
        -DLLVM_DEFAULT_TARGET_TRIPLE=aarch64-w64-windows-gnu)
    step "compiler-rt builtins" rt
    (cmake "${common[@]}" -S "$llvm/compiler-rt/lib/builtins" -B "$work/b-rt" \
        -DCMAKE_INSTALL_PREFIX="$prefix/lib/clang/$LLVM" -DCMAKE_C_COMPILER_TARGET=aarch64-w64-windows-gnu \
        -DCOMPILER_RT_DEFAULT_TARGET_ONLY=TRUE -DLLVM_CONFIG_PATH=
     cmake --build "$work/b-rt" -j"$JOBS"
     cmake --install "$work/b-rt") >"$step_log" 2>&1
    step_done
    step "libunwind, libc++abi, libc++" cxx
    (cmake "${common[@]}" "${target[@]}" -S "$llvm/runtimes" -B "$work/b-cxx" -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" -DLLVM_PATH="$llvm/llvm" -DLLVM_INCLUDE_TESTS=OFF \
        -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_INCLUDE_TESTS=OFF \
        -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON \
        -DLIBCXXABI_INCLUDE_TESTS=OFF -DLIBCXXABI_LIBDIR_SUFFIX= \
        -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON \
        -DLIBCXX_CXX_ABI=libcxxabi -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
        -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF -DLIBCXX_LIBDIR_SUFFIX=
     cmake --build "$work/b-cxx" -j"$JOBS"
     cmake --install "$work/b-cxx") >"$step_log" 2>&1
    step_done

    # The product: a C++ program that throws and catches links against it, for ARM64.
    step "checking the sysroot" check
    (cd "$work"
     printf '%s\n' '#include <stdexcept>' '#include <string>' \
         'int main(int c, char**) { try { if (c) throw std::runtime_error(std::to_string(c)); } catch (const std::exception& e) { return e.what()[0] == 49 ? 0 : 1; } return 2; }' >check.cpp
     $t-clang++ -std=c++20 -O1 -static check.cpp -o check.exe
     [ "$(od -An -tx1 -j"$(($(od -An -tu4 -j60 -N4 check.exe) + 4))" -N2 check.exe | tr -d ' ')" = 64aa ]
     test -f "$prefix/lib/libc++.a" && test -f "$prefix/lib/libunwind.a" && test -f "$prefix/lib/libmsvcrt.a") >"$step_log" 2>&1
    step_done
}

# fetch_source PACKAGE VERSION DIR: the release's source package unpacked into DIR (Debian's
# patches applied), and a line saying what was used. Where the mirror serves the upstream tarball but
# not the package's .dsc or Debian part (404s seen for Debian 13's sources), the upstream tarball,
# checked against the signed Sources index, without Debian's patches: the runtimes need none of them.
fetch_source() {
    local package=$1 version=$2 dir=$3 apt=(env APT_CONFIG="$work/apt/apt.conf" apt-get "${QUENDA_APT_OPTS[@]}")
    mkdir -p "$work/src-$package"
    if (cd "$work/src-$package" && "${apt[@]}" source -q --download-only "$package=$version" >"$work/source-$package.log" 2>&1); then
        # The .dsc maintainer signatures are checked too where debian-keyring is installed.
        local verify=--no-check
        [ -f /usr/share/keyrings/debian-keyring.gpg ] && verify=--require-valid-signature
        (cd "$work/src-$package" && dpkg-source "$verify" -x "$package"_*.dsc "$dir") >&2
        echo "$package $version (Debian source package)"
        return 0
    fi
    cat "$work/source-$package.log" >&2
    local uri name size hash
    # --print-uris leaves out what is already in the folder (the tarball may have come before the 404s).
    mkdir -p "$work/uris-$package"
    read -r uri name size hash < <(cd "$work/uris-$package" && "${apt[@]}" source -q --print-uris "$package=$version" |
        grep -E "^'[^']+\.orig\.tar\.[a-z0-9]+' " | tr -d "'") || true
    if [ -z "${uri:-}" ] || ! grep -q '404' "$work/source-$package.log"; then
        quenda_apt_archive_fault "downloading the source of $package $version" "$work/source-$package.log"
        return 1
    fi
    log "the mirror lacks parts of $package $version's Debian source (404); building its upstream tarball $name," \
        "checked against the signed Sources index ($hash), without Debian's patches"
    rm -f "$work/src-$package/$name"
    /usr/lib/apt/apt-helper download-file "$uri" "$work/src-$package/$name" "$hash" >&2
    mkdir -p "$dir"
    tar -xf "$work/src-$package/$name" -C "$dir" --strip-components=1
    echo "$package $version (upstream tarball $name only: the mirror had no .dsc/Debian part)"
}

# step NAME LOG / step_done: names the running step and its log, which the EXIT trap of the recipe
# process shows when a step fails.
step() { step_name=$1; step_log=$work/$2.log; step_start=$SECONDS; log "$1"; }
step_done() { log "$step_name: $((SECONDS - step_start)) s"; step_log=; }
step_trap() {
    trap 'rc=$?; if [ "$rc" -ne 0 ] && [ -n "${step_log:-}" ]; then tail -60 "$step_log" >&2; log "$step_name failed"; fi' EXIT
}

# ---------------------------------------------------------------------------------------------
# The release's arm64 Wine and every arm64 package it needs, plus the qemu-aarch64 of
# scripts/qemu-user.sh. The arm64 root gets the two scripts that make Wine start its loader and
# server under qemu.
fetch_emulator() {
    local out=$1 work=$2
    mkdir -p "$out/root" "$out/bin" "$work"
    local lines
    mapfile -t lines < <(release_lines deb arch=arm64)
    quenda_private_apt "$work/arm64" arm64 "${lines[@]}"
    # With an empty status file every dependency down to libc6 is downloaded; nothing is installed.
    APT_CONFIG=$work/arm64/apt.conf quenda_apt_get "downloading the arm64 Wine" install -q -y --download-only \
        --no-install-recommends -o Debug::NoLocking=1 "${WINE_PACKAGES[@]}" >&2
    local deb
    for deb in "$work"/arm64/archives/*.deb; do dpkg-deb -x "$deb" "$out/root"; done
    # Merged /usr as on an installed system: Debian 13's libc6 has its loader in usr/lib only, and qemu
    # -L finds the programs' /lib/ld-linux-aarch64.so.1 only through a lib link in the root.
    local d
    for d in lib bin sbin; do
        [ -d "$out/root/usr/$d" ] && [ ! -L "$out/root/$d" ] || continue
        if [ -d "$out/root/$d" ]; then
            cp -a "$out/root/$d/." "$out/root/usr/$d/"
            rm -rf "${out:?}/root/$d"
        fi
        ln -s "usr/$d" "$out/root/$d"
    done
    dpkg-deb -f "$(echo "$work"/arm64/archives/wine64_*.deb)" Version >"$out/wine-version"
    # The qemu-user the 32-bit runs use (scripts/qemu-user.sh): Debian 12's own 7.2 makes every Wine
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
    "$out/bin/qemu-aarch64" --version >"$out/qemu-version"
    # The product: the arm64 loader starts under qemu and answers (only without WINELOADERNOEXEC).
    local answer
    answer=$(QUENDA_ARM64=$out "$out/bin/qemu-aarch64" -L "$out/root" "$out/root/usr/lib/wine/wine64" --version)
    [[ $answer == wine-* ]] || { log "the arm64 Wine does not start under qemu: $answer"; return 1; }
    [ -x "$out/root/usr/lib/wine/wineserver64" ]
    log "arm64 $answer under $(head -n1 "$out/qemu-version")"
}

# The cache entries: keyed by their recipes and everything they are built from.
sysroot_dir() {
    echo "$CACHE_ROOT/arm64-sysroot-llvm$LLVM-$({ declare -f build_sysroot fetch_source step step_done step_trap release_lines quenda_private_apt
        echo "$QUENDA_OS_ID $QUENDA_CODENAME mingw-w64 $MINGW_SOURCE_VERSION $LLVM_SOURCE $LLVM_SOURCE_VERSION"; } | quenda_cache_key)"
}
emulator_dir() {
    echo "$CACHE_ROOT/arm64-wine-$({ declare -f fetch_emulator release_lines quenda_private_apt; quenda_qemu_dir
        echo "$QUENDA_OS_ID $QUENDA_CODENAME ${WINE_PACKAGES[*]} $WINE_VERSION"; } | quenda_cache_key)"
}

case "${1:-}" in
    sysroot) quenda_cache_entry "$(sysroot_dir)" "$here/setup-arm64.sh" build-sysroot-into ;;
    emulator) quenda_cache_entry "$(emulator_dir)" "$here/setup-arm64.sh" fetch-emulator-into ;;
    # The recipes, each run by quenda_cache_entry as a process of its own with OUT and WORK.
    build-sysroot-into) step_trap; build_sysroot "$2" "$3" ;;
    fetch-emulator-into) fetch_emulator "$2" "$3" ;;
    --env | "")
        sysroot=$(quenda_cache_entry "$(sysroot_dir)" "$here/setup-arm64.sh" build-sysroot-into)
        emulator=$(quenda_cache_entry "$(emulator_dir)" "$here/setup-arm64.sh" fetch-emulator-into)
        if [ "${1:-}" = --env ]; then
            echo "export QUENDA_ARM64_SYSROOT='$sysroot'"
            echo "export QUENDA_ARM64='$emulator'"
        fi
        ;;
    *) echo "usage: $0 [--env | sysroot | emulator]" >&2; exit 2 ;;
esac
