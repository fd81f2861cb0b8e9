# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (gcc-mingw-w64-x86-64-posix).
# The posix thread model is the one whose libstdc++ has std::thread and
# std::mutex, which Qt 6 needs. Used to build Qt itself (scripts/windows-sdk)
# and, chained from that Qt's qt.toolchain.cmake, the gateway.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FIELDPOST_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FIELDPOST_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FIELDPOST_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FIELDPOST_MINGW_TRIPLE}-windres)

# Headers, libraries and CMake packages from the MinGW tree (and the Windows
# Qt, which qt.toolchain.cmake adds); build tools from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${FIELDPOST_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
