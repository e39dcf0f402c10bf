# Cross-compiles for 32-bit Windows with MinGW-w64 on Linux; the test programs
# run under Wine. The -posix compilers are named on purpose: GoogleTest needs
# the posix thread model (std::thread, std::mutex), which the win32 one lacks.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(RE5ZOR4_MINGW_PREFIX i686-w64-mingw32)

set(CMAKE_C_COMPILER ${RE5ZOR4_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RE5ZOR4_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RE5ZOR4_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RE5ZOR4_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs and DLLs carry their own C and C++ runtime, so that they import
# only KERNEL32, msvcrt, user32 and our own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
