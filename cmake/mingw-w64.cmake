# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Debian ships no Qt for mingw: such a build has the window's logic, the echo
# probe with its self-test, probe_selftest.exe, and the logic's tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingwTriplet x86_64-w64-mingw32)
# The posix thread model: its C++ library has std::mutex and std::thread,
# which GoogleTest needs (the default win32 model of GCC 12 lacks them).
# Programs link statically, so no thread library DLL goes with them.
set(CMAKE_C_COMPILER ${mingwTriplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingwTriplet}-g++-posix)
set(CMAKE_RC_COMPILER ${mingwTriplet}-windres)
set(CMAKE_STRIP /usr/bin/${mingwTriplet}-strip)

# Hardened like the platform's own programs, every program of the build (the
# shipped one and those CI runs): a canary in every function with an array or
# an address taken, the C library's buffer checks where an object's size is
# known (their checks and the canary's random guard come from GCC's libssp,
# linked statically by -static), and the PE header's promises spelled out
# rather than left to the linker's defaults: a relocatable image (high-entropy
# ASLR), no execution of data pages, and aware of Terminal Server, as
# Windows' own GUI programs are.
# Reproducible: the source and build folders are written into the debugging
# information under fixed names, and the PE header carries no time stamp.
set(sondarHardening "-fstack-protector-strong -D_FORTIFY_SOURCE=2")
set(sondarPrefixMaps "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=/sondar -ffile-prefix-map=${CMAKE_BINARY_DIR}=/sondar-build")
set(CMAKE_C_FLAGS_INIT "${sondarHardening} ${sondarPrefixMaps}")
set(CMAKE_CXX_FLAGS_INIT "${sondarHardening} ${sondarPrefixMaps}")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fstack-protector-strong -Wl,--dynamicbase,--high-entropy-va,--nxcompat,--tsaware,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--dynamicbase,--high-entropy-va,--nxcompat,--no-insert-timestamp")

# Headers, libraries and packages from the target's tree only, so that the
# build machine's own Qt is never picked up; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${mingwTriplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the Windows test programs under wine where Debian's wine64 is
# installed; tools/ci/windows.sh runs it inside a network namespace.
if(EXISTS /usr/lib/wine/wine64)
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
