# Cross-builds for 64-bit Windows with MinGW-w64 and runs what it builds
# under Wine:
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-wine.cmake
# or, with the program, chained behind the toolchain of Qt for Windows
# (scripts/qt-mingw.sh builds it; scripts/windows.sh does all of this):
#   -DCMAKE_TOOLCHAIN_FILE=<qt>/lib/cmake/Qt6/qt.toolchain.cmake
#   -DQT_CHAINLOAD_TOOLCHAIN_FILE=cmake/mingw-w64-wine.cmake
#
# The posix thread flavour of the compiler is named explicitly: the win32
# flavour has no std::mutex or std::condition_variable, and installing it
# silently takes over the unsuffixed compiler names.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Which binaries carry the compiler's runtime inside them and which share
# its DLLs with Qt is decided per target (cmake/Windows.cmake).

# Test programs run through Wine (wine-run.sh), so CTest and
# gtest_discover_tests take them as they are; the prefix is $WINEPREFIX, or
# the private one scripts/windows.sh makes in the build directory.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --default-prefix=${CMAKE_BINARY_DIR}/wine-prefix)
