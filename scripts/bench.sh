#!/usr/bin/env bash
# Benchmark of the prompt: installs what is missing, builds QuendaBench for the architecture this
# machine runs natively (QUENDA_ARCH overrides; x86 under qemu says its timings are not a CPU's), prepares the Wine prefix and runs it under Xvfb. Prints the
# table of figures against the bare-dialog baselines; the full log is build/<arch>/bench.log.
# QUENDA_BUILD_DIR=<dir> builds and logs there instead.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if [ "${QUENDA_ARCH:-}" = arm64 ]; then
    echo "bench.sh: timings of the arm64 build under qemu would be the emulator's; the benchmark runs x86 and x64" >&2
    exit 2
fi
"$root/scripts/setup.sh"
source "$root/scripts/wine-env.sh"
arch=$(quenda_pick_arch)
emulated=
if [ "$arch" = x86 ] && [ "$(quenda_32bit_mode)" = qemu ]; then
    emulated="note: the 32-bit build runs under qemu-i386 here (this kernel cannot execute 32-bit code);
      these timings are the emulator's, not the 32-bit build's on a real CPU"
    echo "$emulated"
fi
echo "== building QuendaBench ($arch)"
# QUENDA_BUILD_DIR builds elsewhere than build/<arch> (the Wine prefix follows QUENDA_WINEPREFIX_BASE).
build=${QUENDA_BUILD_DIR:-$root/build/$arch}
cmake --preset "$arch" -B "$build" >/dev/null
cmake --build "$build" -j2 --target QuendaBench

log=$build/bench.log
# Wine's output goes to a file: a pipe from wine can keep the run from ending.
inner='source "$1/scripts/wine-env.sh"
quenda_wine_for "$2"
quenda_init_prefix
"$QUENDA_WINESERVER" -p
"$QUENDA_WINE" cmd /c exit >/dev/null 2>&1 || true
rc=0
"$QUENDA_ROOT/scripts/wine-run" "$4/QuendaBench.exe" >"$3" 2>&1 || rc=$?
"$QUENDA_WINESERVER" -k || true
exit "$rc"'

echo "== running QuendaBench under Xvfb (about 3 minutes)"
rc=0
timeout 900 xvfb-run "${QUENDA_XVFB_ARGS[@]}" bash -c "$inner" _ "$root" "$arch" "$log" "$build" || rc=$?
[ -z "$emulated" ] || echo "$emulated" >>"$log"
cat "$log"
echo "== QuendaBench exit code: $rc (log: $log)"
exit "$rc"
