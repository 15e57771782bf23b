#!/usr/bin/env bash
# Runs one architecture's Wine tests (scripts/wine-suite.sh x86|x64) inside a display (xvfb-run),
# each case once. Only the cases named below get a second run, and only for the cause given.
# Writes "<passed> <failed> <rerun>" to build/<arch>/wine-suite.counts for scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh
arch=$1

# "arch|case|cause": a case that misses a timing window for a reason outside the library gets
# one more run when it fails; its first failure stays in the log. Empty: none has needed it.
rerun_cases=(
)

quenda_wine_for "$arch"
quenda_init_prefix
# A persistent server and one warm start keep each test program from waiting on Wine helper
# processes that hold the output pipe.
/usr/lib/wine/wineserver -p
"$QUENDA_WINE" cmd /c exit >/dev/null 2>&1 || true

log=build/$arch/ctest-wine.log
set +e
ctest --preset "$arch" -LE native 2>&1 | tee "$log"
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
        if [ "$entryArch" = "$arch" ] && [ "$entryCase" = "$name" ]; then cause=$entryCause; fi
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
/usr/lib/wine/wineserver -k || true

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
