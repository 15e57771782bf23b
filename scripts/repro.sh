#!/usr/bin/env bash
# Proves the release is reproducible: each packed architecture is configured afresh in another
# build folder and built again, later than the first build, and the kit is packed again; the DLLs,
# PDBs, import libraries and zips must equal the first ones byte for byte. Run after
# scripts/package.sh. Only the shipped targets are built again (no tests), to keep CI short.
#
# The source folder must be the same: clang 14 records each compile's command line, with the
# source paths, in the PDB (LF_BUILDINFO; no switch turns that off before clang 16), and the PDB's
# hash is the DLL's GUID and time stamp. Build folders, times and dates do not matter.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
again=build/repro
rm -rf "$again"

status=0
same() {
    if cmp -s "$1" "$2"; then
        echo "same bytes: $1 and $2 ($(sha256sum <"$1" | cut -c1-16))"
    else
        echo "DIFFERENT: $1 and $2"; status=1
    fi
}
for zip in build/package/Quenda-*.zip; do
    arch=${zip##*-}; arch=${arch%.zip}
    cmake --preset "$arch" -B "$again/$arch" -DQUENDA_BUILD_TESTS=OFF >/dev/null
    cmake --build "$again/$arch" -j2 --target Quenda QuendaImportLib QuendaMsvcImportLib >/dev/null
    for file in Quenda.dll Quenda.pdb libQuenda.a Quenda.lib; do
        same "build/$arch/$file" "$again/$arch/$file"
    done
done
sleep 2
QUENDA_PACKAGE_DIR=$again/package scripts/package.sh >/dev/null
for zip in build/package/Quenda-*.zip; do
    same "$zip" "$again/package/${zip##*/}"
done
exit $status
