# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Debian ships no Qt for mingw, so such a build has only probe/ and its
# self-test, probe_selftest.exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingwTriplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingwTriplet}-gcc)
set(CMAKE_CXX_COMPILER ${mingwTriplet}-g++)
set(CMAKE_RC_COMPILER ${mingwTriplet}-windres)

# Headers, libraries and packages from the target's tree only, so that the
# build machine's own Qt is never picked up; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${mingwTriplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
