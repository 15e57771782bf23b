#!/usr/bin/env bash
# One command for the demo: installs what is missing, builds, and runs the simulated reader driver
# (QuendaDemo.exe) under Wine, saving a picture of the prompt at every step.
#   scripts/demo.sh                          enter PIN, 4 digits, backspace, "PIN ok."
#   scripts/demo.sh --outcome 4 --lang 0407  any QuendaDemo option passes through (--help lists them)
# --interactive needs a screen you can see: it runs on $DISPLAY instead of a virtual one.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if [ "${QUENDA_ARCH:-}" = arm64 ]; then
    # Wine 8's arm64 loader under qemu returns from loading Quenda.dll with x18 (the TEB register)
    # zeroed until the thread's next system call, and the demo's first log line after the load
    # reads its thread-local tag through it. The test suite covers the arm64 build.
    echo "demo.sh: the demo does not run on arm64 Wine here; run scripts/test.sh for the arm64 build" >&2
    exit 2
fi

"$root/scripts/setup.sh"
source "$root/scripts/wine-env.sh"
arch=$(quenda_pick_arch)
if [ "$arch" = x86 ] && [ "$(quenda_32bit_mode)" = qemu ]; then
    echo "== the 32-bit build runs under qemu-i386 here (this kernel cannot execute 32-bit code)"
fi
echo "== building the $arch preset"
cmake --preset "$arch" >/dev/null
# The demo and the DLL it loads; the tests are not needed for it.
cmake --build --preset "$arch" --target QuendaDemo

shots=build/$arch/demo-shots
demo_args=("$@")
interactive=0
own_shots=0
for a in "$@"; do
    case $a in
        --interactive) interactive=1 ;;
        --help | -h) own_shots=1 ;; # only the usage text: no pictures to list
        --shots | --shots=*) own_shots=1 ;;
    esac
done
if [ "$own_shots" -eq 0 ]; then
    demo_args=(--shots "$shots" "${demo_args[@]}")
    mkdir -p "$shots"
    # Pictures of an earlier, longer run would otherwise look like part of this one.
    rm -f "$shots"/[0-9][0-9]-*.png
fi

# Runs inside the chosen display: prepares the prefix, runs the demo, waits for Wine to finish.
# A script, not an exported function: xvfb-run is a dash script, and dash drops exported functions.
inner='source "$1/scripts/wine-env.sh"
quenda_wine_for "$2"
quenda_init_prefix
exe=$1/build/$2/QuendaDemo.exe
shift 2
rc=0
"$QUENDA_ROOT/scripts/wine-run" "$exe" "$@" || rc=$?
"$QUENDA_WINESERVER" -w
exit "$rc"'

rc=0
if [ "$interactive" -eq 1 ]; then
    if [ -z "${DISPLAY:-}" ]; then
        echo "demo.sh: --interactive waits for a click on Cancel, which needs a screen you can see;" >&2
        echo "         DISPLAY is not set." >&2
        exit 2
    fi
    echo "== running QuendaDemo on display $DISPLAY"
    bash -c "$inner" _ "$root" "$arch" "${demo_args[@]}" || rc=$?
else
    echo "== running QuendaDemo under Xvfb"
    xvfb-run "${QUENDA_XVFB_ARGS[@]}" \
        bash -c "$inner" _ "$root" "$arch" "${demo_args[@]}" || rc=$?
fi

if [ "$own_shots" -eq 0 ]; then
    pictures=("$root/$shots"/[0-9][0-9]-*.png)
    if [ -e "${pictures[0]}" ]; then
        echo "== pictures of the prompt (${#pictures[@]}):"
        printf '   %s\n' "${pictures[@]}"
    else
        echo "== no pictures were written to $root/$shots"
    fi
fi
echo "== QuendaDemo exit code: $rc"
exit "$rc"
