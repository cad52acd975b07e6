# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix: the posix
# thread model, which std::thread needs). Tests run under Wine (wine64) when it is installed.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DZOL_CORE_ONLY=ON -DZOL_BENCH=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(zol_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${zol_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${zol_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${zol_mingw}-windres)

# Look for libraries and headers in the mingw tree only, never in the host's /usr/include.
set(CMAKE_FIND_ROOT_PATH /usr/${zol_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry the compiler's runtime (libstdc++, libgcc, winpthread), so that they run
# from any folder, under Wine or on Windows, without the mingw DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Wine runs the programs: CTest, gtest discovery and custom commands go through it. The prefix
# lives in the build folder; the first start makes it (about 10 s).
find_program(ZOL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(ZOL_WINE NAMES wine64 wine)
if(ZOL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run --prefix=${CMAKE_BINARY_DIR}/wine-prefix)
endif()
