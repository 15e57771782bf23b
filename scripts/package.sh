#!/usr/bin/env bash
# Builds both presets where needed and writes one zip per architecture for integrators:
#   build/package/Quenda-<version>-x86.zip, -x64.zip and -arm64.zip
# each holding Quenda.dll, include/quenda.h, libQuenda.a (mingw), Quenda.lib (MSVC),
# README.md, docs/INTEGRATION.md and the README's pictures.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

version=$(sed -n 's/^project(Quenda VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
out=build/package
mkdir -p "$out"

for arch in x86 x64 arm64; do
    # The ARM64 preset needs the toolchain scripts/setup-arm64.sh builds (cached after the first time).
    [ "$arch" != arm64 ] || eval "$(scripts/setup-arm64.sh --env)"
    # The tests are not part of the kit; a configured tree keeps its own choice.
    [ -f "build/$arch/CMakeCache.txt" ] || cmake --preset "$arch" >/dev/null
    cmake --build --preset "$arch" --target Quenda QuendaImportLib QuendaMsvcImportLib
    zipfile=$out/Quenda-$version-$arch.zip
    rm -f "$zipfile"
    # python3's zipfile: no extra package needed; fixed names inside the archive.
    python3 - "$zipfile" \
        "build/$arch/Quenda.dll=Quenda.dll" \
        "include/quenda.h=include/quenda.h" \
        "build/$arch/libQuenda.a=libQuenda.a" \
        "build/$arch/Quenda.lib=Quenda.lib" \
        "README.md=README.md" \
        "docs/INTEGRATION.md=docs/INTEGRATION.md" \
        $(for png in docs/*.png; do echo "$png=$png"; done) <<'PY'
import sys, zipfile
target, pairs = sys.argv[1], [a.split("=", 1) for a in sys.argv[2:]]
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
    for source, name in pairs:
        z.write(source, name)
PY
    echo "== $zipfile"
    python3 -m zipfile -l "$zipfile"
done
