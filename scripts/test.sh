#!/usr/bin/env bash
# Builds the three DLLs and runs every test: the build checks, the native and fuzz tests, and each
# architecture's Wine tests inside a virtual display (x86 under qemu where the kernel cannot execute
# 32-bit code, arm64 always under qemu). QUENDA_ARCH=x86|x64|arm64 runs only that architecture's
# Wine tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --arm64
# The release's clang/lld that scripts/setup.sh installed, for every build below.
source scripts/apt-lib.sh
QUENDA_LLVM_VERSION=$(quenda_llvm_version)
export QUENDA_LLVM_VERSION
# The ARM64 sysroot and emulator that scripts/setup.sh made (or found in the cache).
eval "$(scripts/setup-arm64.sh --env)"
source scripts/wine-env.sh
quenda_release
echo "note: $QUENDA_OS_ID $QUENDA_CODENAME, clang/lld $QUENDA_LLVM_VERSION, $(quenda_wine_version)," \
     "ARM64 sysroot from $(paste -sd' ' "$QUENDA_ARM64_SYSROOT/sources")"

if [ -n "${QUENDA_ARCH:-}" ]; then
    arches=("$QUENDA_ARCH")
else
    arches=(x86 x64 arm64)
fi
# Debian 13's arm64 Wine 10 does not finish creating a prefix under qemu-aarch64 here: its
# wineboot --init kept a core busy for more than 10 minutes (Wine 8's took 17 s). The arm64 build
# and its build checks still run; its Wine tests wait for a cause and a fix.
arm64_wine=$(cat "$QUENDA_ARM64/wine-version")
if [[ " ${arches[*]} " =~ " arm64 " ]] && [ "${arm64_wine%%.*}" -ge 10 ]; then
    echo "note: the arm64 Wine tests are not run: arm64 Wine $arm64_wine does not create its prefix under qemu-aarch64 here"
    arches=($(printf '%s\n' "${arches[@]}" | grep -vx arm64 || true))
fi
if [[ " ${arches[*]} " =~ " x86 " ]]; then
    case $(quenda_32bit_mode) in
        native) echo "note: x86 Wine tests run natively" ;;
        qemu) echo "note: this kernel cannot execute 32-bit code; the x86 Wine tests run under" \
                   "qemu-i386 ($(quenda_wine32_qemu_dir))" ;;
        *) echo "test.sh: no 32-bit Wine here, native or under qemu (scripts/setup.sh provides it)" >&2
           exit 1 ;;
    esac
fi

for arch in x86 x64 arm64; do
    wine_tests=OFF
    [[ " ${arches[*]} " =~ " $arch " ]] && wine_tests=ON
    cmake --preset "$arch" -DQUENDA_WINE_TESTS=$wine_tests >/dev/null
    cmake --build --preset "$arch"
done

# The platform-independent logic, natively under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S tests/native -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j2
(cd build/native && ctest --output-on-failure)

# The input decoders under libFuzzer, for a bounded time each with a fixed seed (about 40 s).
fuzz_cxx=/usr/lib/llvm-$QUENDA_LLVM_VERSION/bin/clang++
if [ -x "$fuzz_cxx" ]; then
    cmake -S tests/native -B build/native-fuzz -DCMAKE_CXX_COMPILER="$fuzz_cxx" \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENDA_FUZZ=ON >/dev/null
    cmake --build build/native-fuzz -j2
    for target in FuzzStripMarkup FuzzTakeDriverParams FuzzRegistryDecode FuzzEchoAndScale; do
        echo "fuzzing $target for 10 s"
        timeout 60 "build/native-fuzz/$target" -max_total_time=10 -seed=20261208 -print_final_stats=0 \
            -artifact_prefix=build/native-fuzz/ \
            >"build/native-fuzz/$target.log" 2>&1 || { tail -40 "build/native-fuzz/$target.log"; exit 1; }
    done
else
    echo "note: $fuzz_cxx not found; the fuzz targets are skipped"
fi

# The kit from the DLLs built above; then the same commit built and packed in another folder must
# give the same bytes.
scripts/package.sh >/dev/null
scripts/repro.sh

# Signing with a throw-away certificate: the signature verifies against it, and the signed DLL is
# run below (the import-library link check loads it) in each architecture that runs here.
signing=build/signing
rm -rf "$signing" build/package-signed
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quenda test signer" \
    -keyout "$signing/key.pem" -out "$signing/cert.pem" 2>/dev/null
openssl rand -hex 12 >"$signing/password"
openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/cert.pem" \
    -passout "file:$signing/password" -out "$signing/test.pfx"
QUENDA_SIGN_PASSWORD_FILE=$signing/password QUENDA_PACKAGE_DIR=build/package-signed \
    scripts/package.sh --sign "$signing/test.pfx" >/dev/null
for zip in build/package-signed/Quenda-*.zip; do
    arch=${zip##*-}; arch=${arch%.zip}
    mkdir -p "$signing/$arch"
    python3 -m zipfile -e "$zip" "$signing/$arch"
    verdict=$(osslsigncode verify -CAfile "$signing/cert.pem" -in "$signing/$arch/Quenda.dll" 2>&1 || true)
    grep -q "^Signature verification: ok" <<<"$verdict" ||
        { echo "$verdict"; echo "FAIL: signed $arch DLL does not verify"; exit 1; }
    cp "build/$arch/QuendaLinkCheck_libQuenda_a.exe" "$signing/$arch/"
    echo "ok: signed $arch DLL verifies"
done

# The build checks of the three DLLs (exports, imports, version, bitmaps), which need no Wine.
for arch in x86 x64 arm64; do
    ctest --preset "$arch" -L native
done

status=0
summary=()
passed_all=0
failed_all=0
for arch in "${arches[@]}"; do
    start=$SECONDS
    rm -f "build/$arch/wine-suite.counts"
    xvfb-run "${QUENDA_XVFB_ARGS[@]}" scripts/wine-suite.sh "$arch" || status=1
    read -r passed failed rerun skipped <"build/$arch/wine-suite.counts" ||
        { passed=0 failed=1 rerun=0 skipped=0; }
    how=$arch
    if [ "$arch" = x86 ]; then how="x86 ($(quenda_32bit_mode))"; fi
    if [ "$arch" = arm64 ]; then how="arm64 (qemu-aarch64)"; fi
    summary+=("$how: $passed passed, $failed failed ($rerun after a named rerun), $skipped skipped by name, $((SECONDS - start)) s")
    passed_all=$((passed_all + passed))
    failed_all=$((failed_all + failed))
done
echo "== Wine tests"
printf '  %s\n' "${summary[@]}"
echo "wine: $passed_all passed, $failed_all failed"
exit $status
