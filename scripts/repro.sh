#!/usr/bin/env bash
# Proves the release is reproducible: the same files, copied into another folder, are configured and
# built there afresh, later than the first build, and the kit is packed again; the DLLs, PDBs,
# import libraries and zips must equal the first ones byte for byte. Run after scripts/package.sh.
# Only the shipped targets are built again (no tests), to keep CI short.
#
# Neither the clone's folder nor the build folder nor the time may show in the bytes: the source
# paths are mapped to "." and clang 16 and later keep each compile's command line out of the PDB
# (-gno-codeview-command-line; the PDB's hash is the DLL's GUID and time stamp). The bytes do
# depend on the release's compiler and runtimes: Debian 12 and 13 build different ones.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
again=build/repro
rm -rf "$again"
# The clone's files as they are (committed or not), without its build folder.
mkdir -p "$again/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$again/src"
other=$root/$again/src

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
    (cd "$other" && cmake --preset "$arch" -DQUENDA_BUILD_TESTS=OFF >/dev/null &&
        cmake --build build/$arch -j2 --target Quenda QuendaImportLib QuendaMsvcImportLib >/dev/null)
    for file in Quenda.dll Quenda.pdb libQuenda.a Quenda.lib; do
        same "build/$arch/$file" "$again/src/build/$arch/$file"
    done
done
sleep 2
(cd "$other" && QUENDA_PACKAGE_DIR=$root/$again/package scripts/package.sh >/dev/null)
for zip in build/package/Quenda-*.zip; do
    same "$zip" "$again/package/${zip##*/}"
done
exit $status
