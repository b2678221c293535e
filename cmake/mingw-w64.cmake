# Cross build of the GTK-free libraries and their tests for 64-bit Windows with MinGW-w64
# (POSIX thread model, for std::thread). CTest runs the test programs under wine; the caller
# provides WINEPREFIX (scripts/test-windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the programs need no MinGW DLLs beside them under wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(TAVISK_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all ${TAVISK_WINE})

# No GoogleTest package exists for this compiler: the tests build it from Debian's sources.
set(TAVISK_GTEST_SOURCE_DIR /usr/src/googletest)
