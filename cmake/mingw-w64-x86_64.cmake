# Cross-build for 64-bit Windows with Debian's MinGW-w64 (packages g++-mingw-w64-x86-64-posix and
# mingw-w64-tools). The programs are built against the toolchain's own Windows headers and import
# libraries; the posix flavour gives std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORVEX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TORVEX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORVEX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TORVEX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TORVEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of this build run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
