# Cross build for 32-bit Windows: the product.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KVX_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# C symbols carry a leading underscore on i686.
set(KVX_STUB_ENTRY_SYMBOL _StubEntry)
# Its programs run in a 32-bit Wine prefix.
set(KVX_WINE_ARCH win32)
