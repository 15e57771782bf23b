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
#
# The LLVM version is the release's (scripts/setup.sh installs its newest clang/lld and
# scripts/test.sh passes it as QUENDA_LLVM_VERSION); without one, the newest /usr/lib/llvm-N that
# has both clang and lld. An architecture whose runtime was built by one clang sets it first.
if(NOT QUENDA_LLVM_VERSION AND DEFINED ENV{QUENDA_LLVM_VERSION})
  set(QUENDA_LLVM_VERSION "$ENV{QUENDA_LLVM_VERSION}")
endif()
if(NOT QUENDA_LLVM_VERSION)
  file(GLOB lld_paths /usr/lib/llvm-*/bin/ld.lld)
  set(versions)
  foreach(lld IN LISTS lld_paths)
    string(REGEX REPLACE "^/usr/lib/llvm-([0-9]+)/.*" "\\1" version "${lld}")
    if(EXISTS /usr/lib/llvm-${version}/bin/clang)
      list(APPEND versions ${version})
    endif()
  endforeach()
  list(SORT versions COMPARE NATURAL ORDER DESCENDING)
  list(GET versions 0 QUENDA_LLVM_VERSION)
endif()
set(QUENDA_LLVM_VERSION ${QUENDA_LLVM_VERSION} CACHE STRING "LLVM version of clang and lld (the N of clang-N)")
# The compiler checks read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUENDA_LLVM_VERSION)
# -gno-codeview-command-line (clang 16) keeps each compile's command line, with the clone's path,
# out of the PDB, whose hash is the DLL's GUID and time stamp. Given to the compiler proper
# (-Xclang): the driver calls it unused, an error under -Werror, in compiles without -g.
if(NOT QUENDA_LLVM_VERSION GREATER_EQUAL 16)
  message(FATAL_ERROR "clang/lld ${QUENDA_LLVM_VERSION} is too old (16 or newer; scripts/setup.sh installs the release's)")
endif()
set(QUENDA_LLVM_BIN /usr/lib/llvm-${QUENDA_LLVM_VERSION}/bin)
get_filename_component(QUENDA_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT QUENDA_SYSROOT)
  set(QUENDA_SYSROOT /usr/${QUENDA_TRIPLET} CACHE PATH "mingw-w64 headers and import libraries")
endif()
if(NOT DEFINED QUENDA_CXX_RUNTIME)
  set(QUENDA_CXX_RUNTIME libstdc++)
endif()
# GCC's version differs by release (12 on Debian 12, 14 on Debian 13): the newest one installed.
if(NOT QUENDA_GCC_RUNTIME_DIR)
  file(GLOB gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${QUENDA_TRIPLET}/*-posix)
  list(SORT gcc_dirs COMPARE NATURAL ORDER DESCENDING)
  list(LENGTH gcc_dirs found)
  if(found EQUAL 0 AND QUENDA_CXX_RUNTIME STREQUAL libstdc++)
    message(FATAL_ERROR "No /usr/lib/gcc/${QUENDA_TRIPLET}/N-posix: scripts/setup.sh installs g++-mingw-w64")
  endif()
  if(found GREATER 0)
    list(GET gcc_dirs 0 gcc_dir)
    string(REGEX REPLACE "-posix$" "" gcc_dir "${gcc_dir}")
    set(QUENDA_GCC_RUNTIME_DIR ${gcc_dir} CACHE PATH "GCC's runtime for the target, without the -posix/-win32 suffix")
  endif()
endif()

set(CMAKE_C_COMPILER ${QUENDA_LLVM_BIN}/clang)
set(CMAKE_CXX_COMPILER ${QUENDA_LLVM_BIN}/clang++)
set(CMAKE_C_COMPILER_TARGET ${QUENDA_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${QUENDA_TRIPLET})
if(NOT DEFINED QUENDA_RC_COMPILER)
  set(QUENDA_RC_COMPILER ${QUENDA_TRIPLET}-windres)
endif()
set(CMAKE_RC_COMPILER ${QUENDA_RC_COMPILER})
set(CMAKE_DLLTOOL ${QUENDA_LLVM_BIN}/llvm-dlltool)
set(CMAKE_AR ${QUENDA_LLVM_BIN}/llvm-ar)
set(CMAKE_RANLIB ${QUENDA_LLVM_BIN}/llvm-ranlib)
set(CMAKE_OBJDUMP ${QUENDA_LLVM_BIN}/llvm-objdump)
set(CMAKE_STRIP ${QUENDA_LLVM_BIN}/llvm-strip)

# No build paths and no clock in what the build writes: the same commit gives the same bytes in
# any folder. Archives are written without dates (llvm-ar's D is its default, named anyway).
set(QUENDA_COMMON_FLAGS "--sysroot=${QUENDA_SYSROOT} -ffile-prefix-map=${QUENDA_SOURCE_ROOT}=. -ffile-compilation-dir=. -no-canonical-prefixes -Xclang -gno-codeview-command-line ${QUENDA_EXTRA_FLAGS}")
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
