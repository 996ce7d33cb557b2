# Cross build for 64-bit Windows: the same tree as the i686 product, built so
# that machines whose kernels run no 32-bit programs can still run the Windows
# tests under 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KVX_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# C symbols carry no leading underscore on x86_64.
set(KVX_STUB_ENTRY_SYMBOL StubEntry)
# Its programs run in a 64-bit Wine prefix.
set(KVX_WINE_ARCH win64)
