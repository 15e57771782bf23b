#!/usr/bin/env bash
# Runs one architecture's Wine tests (scripts/wine-suite.sh x86|x64|arm64 [ctest options]) inside a
# display, each case once. Only the cases named below get a second run, and only for the cause given;
# only the cases named below are left out, and only where the cause given holds.
# Writes "<passed> <failed> <rerun> <skipped>" to build/<arch>/wine-suite.counts for scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh
arch=$1

# "arch|case|cause" ("*" for both): a case that misses a timing window for a reason outside the
# library gets one more run when it fails; its first failure stays in the log.
rerun_cases=(
    # Seen twice in three Debian 13 runs under load, never under Wine 8: Wine 10's 32-bit process
    # died with SIGSEGV at its exit, after the program had printed that the check passed; run
    # alone, 15 of 15 passed. Cause not found.
    "x86|QuendaLinkCheck_libQuenda_a|Wine 10's 32-bit process crashed at exit after the check passed"
    "x86|QuendaLinkCheck_Quenda_lib|Wine 10's 32-bit process crashed at exit after the check passed"
)

# "arch|case|cause": a case that cannot run on that architecture's Wine here. Each one below reads a
# driver process's trace through a debugger; under qemu-aarch64, Wine 8 aborts any process started
# with DEBUG_ONLY_THIS_PROCESS (server_init_process_done: Assertion '!status'), a trivial one too.
skip_cases=(
    "arm64|FieldTrace.OnExplainsRefusalsTheFailedDesktopIgnoredValuesKeysAndTheEnd|child run under a debugger"
    "arm64|FieldTrace.OffForZeroOtherTypesOrNoValueWritesNothing|child run under a debugger"
    "arm64|FieldTrace.UnloadWhileOpenUnderTheDebuggerWithTraceOn|children run under a debugger"
)
skipped=()
for entry in "${skip_cases[@]}"; do
    IFS='|' read -r entryArch entryCase entryCause <<<"$entry"
    [ "$entryArch" = "$arch" ] || continue
    skipped+=("$entryCase")
    echo "skipped on $arch: $entryCase ($entryCause)"
done
exclude=()
if [ ${#skipped[@]} -gt 0 ]; then
    exclude=(-E "^($(printf '%s\n' "${skipped[@]}" | sed 's/[][\.*^$+?(){}|/]/\\&/g' | paste -sd'|'))\$")
fi

quenda_wine_for "$arch"
quenda_init_prefix
# A persistent server and one warm start keep each test program from waiting on Wine helper
# processes that hold the output pipe.
"$QUENDA_WINESERVER" -p
trap '"$QUENDA_WINESERVER" -k 2>/dev/null || true' EXIT
"$QUENDA_WINE" cmd /c exit >/dev/null 2>&1 || true
# This prefix's desktop process (explorer.exe /desktop) is running.
desktop_running() {
    local pid
    for pid in $(pgrep -f 'explorer\.exe /desktop'); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}
# Wine ends the desktop process about a second after the desktop's last client leaves. Each case
# would then start it anew: under qemu that takes seconds and cases miss their window waits, and
# natively a case that starts right then finds the pointer pinned at 0,0 until the desktop is up
# (SetCursorPos succeeds, GetCursorPos answers 0,0). An idle Wine process keeps the desktop for
# the whole suite. It is started from here (rundll32 makes a hidden window): one started by a
# case would hold ctest's output pipe open. wineserver -k ends them.
"$QUENDA_WINE" cmd /c "ping -n 100000 127.0.0.1 >nul" >/dev/null 2>&1 &
for _ in 1 2 3 4 5; do
    "$QUENDA_WINE" rundll32.exe user32.dll,GetDesktopWindow >/dev/null 2>&1 || true
    sleep 3
    desktop_running && break
done
desktop_running || { echo "wine-suite.sh: the Wine desktop does not stay up" >&2; exit 1; }

log=build/$arch/ctest-wine.log
set +e
ctest --preset "$arch" -LE native "${exclude[@]}" "${@:2}" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
set -e

# The signed DLL (scripts/test.sh signs the kit) loads and answers its exports like the one the
# suite ran.
signed_fail=0
if [ -f "build/signing/$arch/QuendaLinkCheck_libQuenda_a.exe" ]; then
    if "$QUENDA_WINE" "build/signing/$arch/QuendaLinkCheck_libQuenda_a.exe" 2>/dev/null |
            grep -q "import library link check passed"; then
        echo "ok: signed $arch DLL loads and passes the link check"
    else
        echo "FAIL: signed $arch DLL"; signed_fail=1
    fi
fi

total=$(sed -nE 's/.* tests failed out of ([0-9]+)$/\1/p' "$log" | tail -1)
mapfile -t failed < <(sed -n '/^The following tests FAILED:/,$p' "$log" |
                      sed -nE 's/^[[:space:]]+[0-9]+ - ([^ ]+) \([^)]*\).*$/\1/p')
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
    echo "0 0 0 ${#skipped[@]}" >"build/$arch/wine-suite.counts"
    exit 1
fi
if [ ${#rerun[@]} -gt 0 ]; then
    echo "note: passed on their named second run ($arch):"; printf '  %s\n' "${rerun[@]}"
fi
echo "$((total - ${#remaining[@]})) ${#remaining[@]} ${#rerun[@]} ${#skipped[@]}" >"build/$arch/wine-suite.counts"
if [ ${#remaining[@]} -gt 0 ] || [ "$signed_fail" -ne 0 ]; then
    exit 1
fi
# ctest's own failure without a failed case (a discovery error, for one) still fails the run.
[ ${#failed[@]} -gt 0 ] || exit "$rc"
