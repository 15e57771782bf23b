#!/usr/bin/env bash
# Builds both DLLs and runs every test: the Wine tests inside a virtual display, for each
# architecture this machine can execute; the build checks for both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
source scripts/wine-env.sh

arches=(x64)
if quenda_can_run_32bit; then
    arches=(x86 x64)
else
    echo "note: this machine cannot execute 32-bit programs; the 32-bit DLL is built and checked" \
         "statically, the Wine tests run against the 64-bit build of the same sources."
fi

for arch in x86 x64; do
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
if command -v clang++ >/dev/null; then
    cmake -S tests/native -B build/native-fuzz -DCMAKE_CXX_COMPILER=clang++ \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENDA_FUZZ=ON >/dev/null
    cmake --build build/native-fuzz -j2
    for target in FuzzStripMarkup FuzzTakeDriverParams FuzzRegistryDecode FuzzEchoAndScale; do
        echo "fuzzing $target for 10 s"
        timeout 60 "build/native-fuzz/$target" -max_total_time=10 -seed=20261208 -print_final_stats=0 \
            -artifact_prefix=build/native-fuzz/ \
            >"build/native-fuzz/$target.log" 2>&1 || { tail -40 "build/native-fuzz/$target.log"; exit 1; }
    done
else
    echo "note: clang++ not found; the fuzz targets are skipped"
fi

if [[ ! " ${arches[*]} " =~ " x86 " ]]; then
    ctest --preset x86
fi

status=0
for arch in "${arches[@]}"; do
    quenda_wine_for "$arch"
    xvfb-run "${QUENDA_XVFB_ARGS[@]}" bash -c '
        source scripts/wine-env.sh
        quenda_wine_for "$1"
        quenda_init_prefix
        # A persistent server and one warm start keep each test program from waiting on
        # Wine helper processes that hold the output pipe.
        /usr/lib/wine/wineserver -p
        "$QUENDA_WINE" cmd /c exit >/dev/null 2>&1 || true
        rc=0
        # Wine under load occasionally misses a timing window (a foreground change, a first paint
        # read back late); a case gets one more try. A test program that crashes fails (its crash
        # filter), and every case that needed the second try is named below, so a retry never
        # hides a fault silently.
        log="build/$1/ctest-wine.log"
        ctest --preset "$1" --repeat until-pass:2 2>&1 | tee "$log"
        rc=${PIPESTATUS[0]}
        retried=$(grep -E "Test +#[0-9]+: .*[*]{3}(Failed|Timeout|Exception)" "$log" |
                  sed -E "s/.*Test +#[0-9]+: ([^ ]+).*/\1/" | sort -u || true)
        if [ -n "$retried" ]; then
            echo "note: cases that failed their first try ($1):"; echo "$retried" | sed "s/^/  /"
        fi
        /usr/lib/wine/wineserver -k || true
        exit $rc' _ "$arch" || status=$?
done

# ARM64: its own toolchain (built once, cached outside the clone) and Wine under qemu-aarch64.
# QUENDA_ARM64_TESTS=off leaves it out of a local run.
if [ "${QUENDA_ARM64_TESTS:-on}" != off ]; then
    scripts/test-arm64.sh || status=$?
fi
exit $status
