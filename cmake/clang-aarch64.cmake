# ARM64 Windows target: clang-14 and lld-14 with the aarch64-w64-mingw32 sysroot that
# scripts/setup-arm64.sh builds from Debian's source packages (mingw-w64 CRT, compiler-rt, libc++).
# Its drivers carry the target, sysroot, runtime and -fuse-ld=lld switches.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(QUENDA_TRIPLET aarch64-w64-mingw32)

if(DEFINED ENV{QUENDA_ARM64_SYSROOT})
  set(QUENDA_ARM64_SYSROOT "$ENV{QUENDA_ARM64_SYSROOT}" CACHE PATH "aarch64-w64-mingw32 sysroot")
endif()
if(NOT QUENDA_ARM64_SYSROOT OR NOT EXISTS "${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-clang")
  message(FATAL_ERROR "No ARM64 sysroot: run eval \"$(scripts/setup-arm64.sh --env)\" first")
endif()
# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUENDA_ARM64_SYSROOT)

set(CMAKE_C_COMPILER ${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-clang)
set(CMAKE_CXX_COMPILER ${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-clang++)
set(CMAKE_RC_COMPILER ${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-windres)
set(CMAKE_AR ${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-ar)
set(CMAKE_RANLIB ${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-ranlib)
set(CMAKE_DLLTOOL ${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-dlltool)
# binutils cannot read ARM64 PE files; llvm-readobj can.
set(CMAKE_OBJDUMP ${QUENDA_ARM64_SYSROOT}/bin/${QUENDA_TRIPLET}-readobj)
set(CMAKE_FIND_ROOT_PATH ${QUENDA_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
