# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
#
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DPRISMARA_CORE_ONLY=ON
#
# Only the Qt-free core and its Qt-free test programs build this way: there is no
# Windows Qt on the build machine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PRISMARA_MINGW_TRIPLE x86_64-w64-mingw32)

# The -posix flavour: its libstdc++ has std::thread and std::mutex (the -win32
# flavour of GCC 12 has neither), which the core's users and tests rely on.
find_program(CMAKE_C_COMPILER NAMES ${PRISMARA_MINGW_TRIPLE}-gcc-posix ${PRISMARA_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PRISMARA_MINGW_TRIPLE}-g++-posix ${PRISMARA_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PRISMARA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PRISMARA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables: libgcc, libstdc++ and winpthread linked in, so a
# program runs on a bare Windows (or Wine) without the toolchain's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Lets CTest run the cross-built tests when Wine is at hand (wine64 in PATH, or the
# Debian loader); tools/windows-tests sets up the prefix it runs in.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(PRISMARA_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(PRISMARA_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PRISMARA_WINE})
  endif()
endif()
