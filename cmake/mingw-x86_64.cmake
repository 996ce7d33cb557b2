# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain: the same
# tree as the i686 product, built so that machines whose kernels run no 32-bit
# programs can still run the Windows tests under 64-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# C symbols carry no leading underscore on x86_64.
set(KVX_STUB_ENTRY_SYMBOL StubEntry)
# Its programs run in a 64-bit Wine prefix.
set(KVX_WINE_ARCH win64)
