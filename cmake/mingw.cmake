# What both Windows toolchains share: Debian's MinGW-w64 cross compilers for
# the triplet the including file names.  The -posix variants are used
# throughout because GoogleTest needs std::mutex; the stub itself links no
# thread library.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KVX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KVX_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KVX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
