# The -posix compilers: the win32 thread model has no std::thread and GoogleTest needs it.
set(CMAKE_C_COMPILER ${QUENDA_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENDA_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUENDA_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${QUENDA_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${QUENDA_TRIPLET}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${QUENDA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests and the demo run through Wine; scripts/wine-run picks the loader and prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
