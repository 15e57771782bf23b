#!/usr/bin/env bash
# Writes one zip per built architecture for integrators: build/package/Quenda-<version>-<arch>.zip,
# each holding Quenda.dll, Quenda.pdb, include/quenda.h, libQuenda.a (mingw), Quenda.lib (MSVC),
# README.md, the pages of docs/ it links to and their pictures, and SHA256SUMS. The DLL packed is the one
# the build (and so the tests) made; nothing is rebuilt with other flags.
#
#   scripts/package.sh [--sign CERT.pfx [--timestamp URL]]
#
# --sign signs each DLL with Authenticode through osslsigncode before packing; the certificate's
# password comes from the file named by QUENDA_SIGN_PASSWORD_FILE or from QUENDA_SIGN_PASSWORD,
# never from the command line (where other users see it in the process list). Unsigned by default.
# The zips' dates come from SOURCE_DATE_EPOCH (default: the last commit's time), so the same
# inputs give the same bytes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

cert='' timestamp=''
while [ $# -gt 0 ]; do
    case $1 in
        --sign) cert=$2; shift 2 ;;
        --timestamp) timestamp=$2; shift 2 ;;
        *) echo "usage: $0 [--sign CERT.pfx [--timestamp URL]]" >&2; exit 2 ;;
    esac
done
if [ -n "$cert" ]; then
    [ -f "$cert" ] || { echo "package.sh: no certificate at $cert" >&2; exit 1; }
    if [ -n "${QUENDA_SIGN_PASSWORD_FILE:-}" ]; then
        passfile=$QUENDA_SIGN_PASSWORD_FILE
    elif [ -n "${QUENDA_SIGN_PASSWORD+set}" ]; then
        # osslsigncode reads a password from a file; this one lives only while the script runs.
        passfile=$(mktemp)
        trap 'rm -f "$passfile"' EXIT
        printf '%s' "$QUENDA_SIGN_PASSWORD" >"$passfile"
    else
        echo "package.sh: set QUENDA_SIGN_PASSWORD_FILE or QUENDA_SIGN_PASSWORD for $cert" >&2
        exit 1
    fi
    command -v osslsigncode >/dev/null || "$root/scripts/setup.sh"
fi

version=$(sed -n 's/^project(Quenda VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
out=${QUENDA_PACKAGE_DIR:-build/package}
mkdir -p "$out"

# Every architecture whose build folder is configured; x86 and x64 are configured when missing.
arches=()
for arch in x86 x64 arm64; do
    if [ -f "build/$arch/CMakeCache.txt" ]; then
        arches+=("$arch")
    elif [ "$arch" != arm64 ]; then
        cmake --preset "$arch" >/dev/null
        arches+=("$arch")
    fi
done

for arch in "${arches[@]}"; do
    dir=build/$arch
    cmake --build --preset "$arch" --target Quenda QuendaImportLib QuendaMsvcImportLib
    stage=$dir/package-stage
    rm -rf "$stage"
    mkdir -p "$stage"
    dll=$stage/Quenda.dll
    if [ -n "$cert" ]; then
        # -h sha256: Windows 7 and later check SHA-256 signatures; the signing time comes from the
        # timestamp server when one is given, and the signature is then no longer reproducible.
        osslsigncode sign -pkcs12 "$cert" -readpass "$passfile" -h sha256 -n "Quenda" \
            ${timestamp:+-ts "$timestamp"} -in "$dir/Quenda.dll" -out "$dll" >/dev/null
    else
        cp "$dir/Quenda.dll" "$dll"
    fi
    zipfile=$out/Quenda-$version-$arch.zip
    rm -f "$zipfile"
    # python3's zipfile: no extra package needed; fixed names, dates and modes inside the archive.
    python3 - "$zipfile" \
        "$dll=Quenda.dll" \
        "$dir/Quenda.pdb=Quenda.pdb" \
        "include/quenda.h=include/quenda.h" \
        "$dir/libQuenda.a=libQuenda.a" \
        "$dir/Quenda.lib=Quenda.lib" \
        "README.md=README.md" \
        $(for doc in docs/*.md docs/*.png; do echo "$doc=$doc"; done) <<'PY'
import hashlib, os, sys, time, zipfile
target, pairs = sys.argv[1], [a.split("=", 1) for a in sys.argv[2:]]
# The zip format has no dates before 1980.
when = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
sums = []
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
    def add(name, data):
        info = zipfile.ZipInfo(name, when)
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, data)
    for source, name in pairs:
        data = open(source, "rb").read()
        sums.append(f"{hashlib.sha256(data).hexdigest()}  {name}\n")
        add(name, data)
    add("SHA256SUMS", "".join(sums).encode())
PY
    echo "== $zipfile"
    python3 -m zipfile -l "$zipfile"
done
