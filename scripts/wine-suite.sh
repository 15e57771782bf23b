#!/usr/bin/env bash
# Runs one architecture's Wine tests (scripts/wine-suite.sh x86|x64 [ctest options]) inside a display,
# each case once. Only the cases named below get a second run, and only for the cause given.
# Writes "<passed> <failed> <rerun>" to build/<arch>/wine-suite.counts for scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh
arch=$1

# "arch|case|cause" ("*" for both): a case that misses a timing window for a reason outside the
# library gets one more run when it fails; its first failure stays in the log.
pointer="the pointer move through Wine's X11 driver lags on a loaded machine, and MovePointer"
pointer+=" (100 ms) and ClickAt (none) do not wait for it: a test fault still to be fixed"
rerun_cases=(
    "*|DriverButton.HoverLookOncePerEntryAndNormalLookAfterLeaving|$pointer"
    "*|DriverButton.EscapeReleasedOnTheFocusedButtonClosesWithoutCancel|$pointer"
    "*|DriverButton.ForegroundAndTopmostPlaceAreTakenBackFromAnotherProcess|$pointer"
    "*|DriverReturnCodes.SecondStartKeepsTheOpenPromptsCallback|$pointer"
    "*|DriverReturnCodes.EndBeforePromptExistsIsRefusedAndDropsCallback|$pointer"
    "*|DriverCancel.ClickCallsCallbackOnceInPromptThread|$pointer"
    "*|DriverEnd.EndFromCallbackInPromptThread|$pointer"
)

quenda_wine_for "$arch"
quenda_init_prefix
# A persistent server and one warm start keep each test program from waiting on Wine helper
# processes that hold the output pipe.
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
"$QUENDA_WINE" cmd /c exit >/dev/null 2>&1 || true
# This prefix's desktop process (explorer.exe /desktop) is running.
desktop_running() {
    local pid
    for pid in $(pgrep -f 'explorer\.exe /desktop'); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}
if [ "$arch" = x86 ] && [ "$(quenda_32bit_mode)" = qemu ]; then
    # Wine ends the desktop process about a second after the desktop's last client leaves; a
    # process start under qemu takes longer than that, so every case would start the desktop
    # anew, seconds each, and miss its window timeouts. An idle Wine process keeps it. The desktop
    # is started from here (rundll32 makes a hidden window): one started by a case would hold
    # ctest's output pipe open. wineserver -k ends them.
    "$QUENDA_WINE" cmd /c "ping -n 100000 127.0.0.1 >nul" >/dev/null 2>&1 &
    for _ in 1 2 3 4 5; do
        "$QUENDA_WINE" rundll32.exe user32.dll,GetDesktopWindow >/dev/null 2>&1 || true
        sleep 3
        desktop_running && break
    done
    desktop_running || { echo "wine-suite.sh: the Wine desktop does not stay up" >&2; exit 1; }
fi

log=build/$arch/ctest-wine.log
set +e
ctest --preset "$arch" -LE native "${@:2}" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
set -e

total=$(sed -nE 's/.* tests failed out of ([0-9]+)$/\1/p' "$log" | tail -1)
mapfile -t failed < <(sed -n '/^The following tests FAILED:/,$p' "$log" |
                      sed -nE 's/^[[:space:]]+[0-9]+ - (.+) \([^)]*\)$/\1/p')
remaining=()
rerun=()
for name in "${failed[@]}"; do
    cause=
    for entry in "${rerun_cases[@]}"; do
        IFS='|' read -r entryArch entryCase entryCause <<<"$entry"
        if [[ $entryArch = "$arch" || $entryArch = "*" ]] && [ "$entryCase" = "$name" ]; then
            cause=$entryCause
        fi
    done
    if [ -z "$cause" ]; then
        remaining+=("$name")
        continue
    fi
    echo "== $name failed; one more run ($cause)"
    pattern=$(printf '%s' "$name" | sed 's/[][\.*^$+?(){}|/]/\\&/g')
    if ctest --preset "$arch" -R "^$pattern\$" 2>&1 | tee -a "$log"; then
        rerun+=("$name")
    else
        remaining+=("$name")
    fi
done

if [ -z "$total" ]; then
    echo "wine-suite.sh: ctest ran no test for $arch" >&2
    echo "0 0 0" >"build/$arch/wine-suite.counts"
    exit 1
fi
if [ ${#rerun[@]} -gt 0 ]; then
    echo "note: passed on their named second run ($arch):"; printf '  %s\n' "${rerun[@]}"
fi
echo "$((total - ${#remaining[@]})) ${#remaining[@]} ${#rerun[@]}" >"build/$arch/wine-suite.counts"
if [ ${#remaining[@]} -gt 0 ]; then
    exit 1
fi
# ctest's own failure without a failed case (a discovery error, for one) still fails the run.
[ ${#failed[@]} -gt 0 ] || exit "$rc"
