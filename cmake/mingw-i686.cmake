# Cross build for 32-bit Windows with Debian's MinGW-w64 toolchain.  The -posix
# variants are used throughout because GoogleTest needs std::mutex; the stub
# itself links no thread library.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# C symbols carry a leading underscore on i686.
set(KVX_STUB_ENTRY_SYMBOL _StubEntry)
# Its programs run in a 32-bit Wine prefix.
set(KVX_WINE_ARCH win32)
