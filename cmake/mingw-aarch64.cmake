# ARM64 Windows target: the DLL for native ARM64 processes. Debian ships no mingw-w64 runtime for it,
# so the sysroot (mingw-w64 headers and CRT, compiler-rt, libunwind, libc++abi, libc++, all static)
# is built from Debian's source packages by scripts/setup-arm64.sh and cached outside the clone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(QUENDA_TRIPLET aarch64-w64-mingw32)

if(DEFINED ENV{QUENDA_ARM64_SYSROOT})
  set(QUENDA_ARM64_SYSROOT "$ENV{QUENDA_ARM64_SYSROOT}" CACHE PATH "aarch64-w64-mingw32 sysroot")
elseif(NOT QUENDA_ARM64_SYSROOT)
  # The script prints the cached sysroot's folder (building it the first time).
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/setup-arm64.sh sysroot
    OUTPUT_VARIABLE sysroot OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(NOT failed)
    set(QUENDA_ARM64_SYSROOT "${sysroot}" CACHE PATH "aarch64-w64-mingw32 sysroot")
  endif()
endif()
if(NOT QUENDA_ARM64_SYSROOT OR NOT EXISTS "${QUENDA_ARM64_SYSROOT}/lib/libc++.a"
   OR NOT EXISTS "${QUENDA_ARM64_SYSROOT}/llvm-version")
  message(FATAL_ERROR "No ARM64 sysroot: scripts/setup-arm64.sh makes it")
endif()
# The runtimes were built by one clang, from its own release's sources: the compiler is that one.
file(STRINGS "${QUENDA_ARM64_SYSROOT}/llvm-version" QUENDA_LLVM_VERSION LIMIT_COUNT 1)
# The compiler checks read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUENDA_ARM64_SYSROOT)

set(QUENDA_CXX_RUNTIME libc++)
set(QUENDA_SYSROOT ${QUENDA_ARM64_SYSROOT})
# The builtins live in the sysroot's copy of clang's resource folder. A static libc++abi must not
# declare its entry points dllimport. -Qunused-arguments: the link-only switches reach compiles too.
set(QUENDA_EXTRA_FLAGS "-resource-dir=${QUENDA_ARM64_SYSROOT}/lib/clang/${QUENDA_LLVM_VERSION} -rtlib=compiler-rt -unwindlib=libunwind -stdlib=libc++ -D_LIBCXXABI_DISABLE_VISIBILITY_ANNOTATIONS -Qunused-arguments")
# binutils has no ARM64 windres; llvm-windres, called by the triplet's name, preprocesses with clang.
set(QUENDA_RC_COMPILER ${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-windres)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
