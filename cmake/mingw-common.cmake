# Debian's clang and lld for a mingw-w64 target, parametrised by QUENDA_TRIPLET (set by the
# per-architecture file before including this one). lld writes a PDB next to each program, which
# Windows debuggers read; GNU ld cannot.
#
# The C++ runtime is GCC's libstdc++/libgcc from Debian's mingw-w64 packages, with the headers and
# libraries of one thread model per target (the QUENDA_THREAD_MODEL property in CMakeLists.txt):
# clang does not find Debian's "12-posix"/"12-win32" folders by itself. An architecture with a
# runtime of its own (libc++ in a sysroot) sets, before including this file, QUENDA_CXX_RUNTIME to
# something other than libstdc++, QUENDA_SYSROOT, QUENDA_EXTRA_FLAGS (its driver flags) and, where
# binutils has no windres for it, QUENDA_RC_COMPILER.
set(QUENDA_LLVM_VERSION 14)
get_filename_component(QUENDA_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT QUENDA_SYSROOT)
  set(QUENDA_SYSROOT /usr/${QUENDA_TRIPLET} CACHE PATH "mingw-w64 headers and import libraries")
endif()
if(NOT DEFINED QUENDA_CXX_RUNTIME)
  set(QUENDA_CXX_RUNTIME libstdc++)
endif()
set(QUENDA_GCC_RUNTIME_DIR /usr/lib/gcc/${QUENDA_TRIPLET}/12 CACHE PATH
    "GCC's runtime for the target, without the -posix/-win32 suffix")

set(CMAKE_C_COMPILER clang-${QUENDA_LLVM_VERSION})
set(CMAKE_CXX_COMPILER clang++-${QUENDA_LLVM_VERSION})
set(CMAKE_C_COMPILER_TARGET ${QUENDA_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${QUENDA_TRIPLET})
if(NOT DEFINED QUENDA_RC_COMPILER)
  set(QUENDA_RC_COMPILER ${QUENDA_TRIPLET}-windres)
endif()
set(CMAKE_RC_COMPILER ${QUENDA_RC_COMPILER})
set(CMAKE_DLLTOOL llvm-dlltool-${QUENDA_LLVM_VERSION})
set(CMAKE_AR /usr/bin/llvm-ar-${QUENDA_LLVM_VERSION})
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-${QUENDA_LLVM_VERSION})
set(CMAKE_OBJDUMP llvm-objdump-${QUENDA_LLVM_VERSION})
set(CMAKE_STRIP llvm-strip-${QUENDA_LLVM_VERSION})

# No build paths and no clock in what the build writes: the same commit gives the same bytes in
# any folder. Archives are written without dates (llvm-ar's D is its default, named anyway).
set(QUENDA_COMMON_FLAGS "--sysroot=${QUENDA_SYSROOT} -ffile-prefix-map=${QUENDA_SOURCE_ROOT}=. -ffile-compilation-dir=. -no-canonical-prefixes ${QUENDA_EXTRA_FLAGS}")
set(CMAKE_C_FLAGS_INIT "${QUENDA_COMMON_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${QUENDA_COMMON_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_C_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_C_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
# The compiler checks link nothing: the runtime's library folder is chosen per target.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH ${QUENDA_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests and the demo run through Wine; scripts/wine-run picks the loader and prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
