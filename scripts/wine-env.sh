# Sourced by the other scripts: Wine settings for running the cross-built programs.
# 32-bit programs run under the system's 32-bit Wine where the kernel executes 32-bit code, else
# under the same Wine in qemu user mode (scripts/qemu-user.sh, made by scripts/setup.sh).
# ARM64 programs run under Debian's arm64 Wine through qemu-aarch64 (scripts/setup-arm64.sh).
# QUENDA_ARCH=x86|x64|arm64 chooses the build for the demo and the benchmark; without it they take
# the build this machine runs natively.

QUENDA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEDEBUG=-all
source "$QUENDA_ROOT/scripts/qemu-user.sh"

# The kernel executes 32-bit programs itself (some machines run with IA-32 emulation off).
quenda_native_32bit() {
    env -u WINELOADERNOEXEC /usr/lib/wine/wine --version >/dev/null 2>&1
}

# 32-bit Wine runs here, natively or under qemu (once scripts/setup.sh has made that folder).
quenda_can_run_32bit() {
    quenda_native_32bit || [ -x "$(quenda_wine32_qemu_dir)/bin/wine" ]
}

# How 32-bit programs run here: "native", "qemu" or "none".
quenda_32bit_mode() {
    if quenda_native_32bit; then
        echo native
    elif [ -x "$(quenda_wine32_qemu_dir)/bin/wine" ]; then
        echo qemu
    else
        echo none
    fi
}

# The system's Wine, as it names itself ("wine-10.0 (Debian 10.0~repack-6)").
quenda_wine_version() {
    env -u WINELOADERNOEXEC /usr/lib/wine/wine64 --version 2>/dev/null ||
        env -u WINELOADERNOEXEC /usr/lib/wine/wine --version 2>/dev/null || echo "no Wine"
}

quenda_pick_arch() {
    if [ -n "${QUENDA_ARCH:-}" ]; then
        echo "$QUENDA_ARCH"
    elif quenda_native_32bit; then
        echo x86
    else
        echo x64
    fi
}

# Sets WINEPREFIX, WINEARCH, WINELOADER, QUENDA_WINE and QUENDA_WINESERVER for an architecture.
quenda_wine_for() {
    local arch=$1
    export WINEPREFIX=${QUENDA_WINEPREFIX_BASE:-$QUENDA_ROOT/build}/wine-$arch
    QUENDA_WINESERVER=/usr/lib/wine/wineserver
    if [ "$arch" = arm64 ]; then
        # Debian's arm64 Wine under qemu-aarch64, unpacked by scripts/setup-arm64.sh (cached).
        if [ -z "${QUENDA_ARM64:-}" ]; then
            QUENDA_ARM64=$("$QUENDA_ROOT/scripts/setup-arm64.sh" emulator) || return 1
            export QUENDA_ARM64
        fi
        # qemu -L finds this loader path in the arm64 root for the processes Wine starts.
        export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
        QUENDA_WINE=$QUENDA_ARM64/bin/wine
        QUENDA_WINESERVER=$QUENDA_ARM64/bin/wineserver
    elif [ "$arch" = x64 ]; then
        export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
        QUENDA_WINE=$WINELOADER
    elif quenda_native_32bit; then
        export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine
        QUENDA_WINE=$WINELOADER
    else
        local dir
        dir=$(quenda_wine32_qemu_dir)
        export WINEARCH=win32 WINELOADER=$dir/usr/lib/wine/wine
        QUENDA_WINE=$dir/bin/wine
    fi
}

# Creates the prefix once. Needs a display (run inside xvfb-run).
quenda_init_prefix() {
    if [ -n "${QUENDA_ARM64:-}" ] && [ "$WINEPREFIX" = "${QUENDA_WINEPREFIX_BASE:-$QUENDA_ROOT/build}/wine-arm64" ]; then
        # qemu -L shows the arm64 root at "/", so z: cannot reach the build folder (Wine starts each
        # program in its Windows folder): the build folder gets a drive of its own.
        mkdir -p "$WINEPREFIX/dosdevices"
        ln -sfn "$QUENDA_ROOT/build" "$WINEPREFIX/dosdevices/d:"
    fi
    [ -f "$WINEPREFIX/.quenda-ready" ] && return 0
    mkdir -p "$WINEPREFIX"
    "$QUENDA_WINE" wineboot -i >/dev/null 2>&1 || true
    # Without a window manager every EndDialog otherwise waits ~2 s for the hide.
    "$QUENDA_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
    # A crashing test must fail, not wait on the debugger's dialog.
    "$QUENDA_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
    "$QUENDA_WINESERVER" -w
    touch "$WINEPREFIX/.quenda-ready"
}

QUENDA_XVFB_ARGS=(-a -s "-screen 0 1024x768x24")
