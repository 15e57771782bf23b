#!/usr/bin/env bash
# Proves the release is reproducible: the tracked sources are copied into a fresh folder elsewhere
# and built and packed there once more, later than the first build; the DLLs, PDBs, import
# libraries and zips must equal the ones under build/ byte for byte. Run after scripts/package.sh.
# Only the shipped targets are built again (no tests), to keep CI short.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
other=$(mktemp -d /tmp/quenda-repro.XXXXXX)
trap 'rm -rf "$other"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$other"

for zip in build/package/Quenda-*.zip; do
    arch=${zip##*-}; arch=${arch%.zip}
    (cd "$other" && cmake --preset "$arch" -DQUENDA_BUILD_TESTS=OFF >/dev/null)
done
"$other/scripts/package.sh" >/dev/null
status=0
for zip in build/package/Quenda-*.zip; do
    arch=${zip##*-}; arch=${arch%.zip}
    for file in "build/$arch/Quenda.dll" "build/$arch/Quenda.pdb" "build/$arch/libQuenda.a" \
                "build/$arch/Quenda.lib" "$zip"; do
        if cmp -s "$file" "$other/$file"; then
            echo "same bytes: $file ($(sha256sum <"$file" | cut -c1-16))"
        else
            echo "DIFFERENT: $file and $other/$file"
            status=1
        fi
    done
done
exit $status
