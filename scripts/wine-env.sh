# Sourced by the other scripts: Wine settings for running the cross-built programs.
# QUENDA_ARCH=x86|x64|arm64 chooses the build that runs; without it the 32-bit build runs when this
# machine can execute 32-bit code, the 64-bit build otherwise.

QUENDA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEDEBUG=-all

quenda_can_run_32bit() {
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

quenda_pick_arch() {
    if [ -n "${QUENDA_ARCH:-}" ]; then
        echo "$QUENDA_ARCH"
    elif quenda_can_run_32bit; then
        echo x86
    else
        echo x64
    fi
}

# Sets WINEPREFIX, WINEARCH, WINELOADER, QUENDA_WINE and QUENDA_WINESERVER for an architecture.
quenda_wine_for() {
    local arch=$1
    export WINEPREFIX=${QUENDA_WINEPREFIX_BASE:-$QUENDA_ROOT/build}/wine-$arch
    if [ "$arch" = x86 ]; then
        export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine
    else
        export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
    fi
    QUENDA_WINE=$WINELOADER
    QUENDA_WINESERVER=/usr/lib/wine/wineserver
    if [ "$arch" = arm64 ]; then
        # Debian's arm64 Wine under qemu-aarch64 (scripts/setup-arm64.sh --env sets QUENDA_ARM64);
        # qemu maps /usr/lib/wine/wine64 into its arm64 root for the children Wine starts.
        QUENDA_WINE=$QUENDA_ARM64/bin/wine
        QUENDA_WINESERVER=$QUENDA_ARM64/bin/wineserver
    fi
}

# Creates the prefix once. Needs a display (run inside xvfb-run).
quenda_init_prefix() {
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
