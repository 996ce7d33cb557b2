# libbzip2 for the packer, built from Debian's source on both systems:
# libbzip2's compressor as it is, but for the block sorter (the packer's own,
# packer/bzip2/suffixsort.c, over libdivsufsort, with libbzip2's sorter kept as
# BZ2_blockSortStock for the blocks it orders faster or alone exactly) and a
# move-to-front step that searches the first places one by one and the rest
# with memchr and memmove
# (packer/bzip2/mtf.patch), and a block CRC taken eight bytes a step over the
# input as it is consumed (crc.c, crc.patch).  The streams are libbzip2's to
# the byte.

# libdivsufsort: Debian's library on Linux; for Windows, Debian's source
# package built here, with the header its own build would generate.
if(CMAKE_CROSSCOMPILING)
  set(DIVSUFSORT_SRC ${CMAKE_SOURCE_DIR}/.deps/libdivsufsort-2.0.1)
  if(NOT EXISTS ${DIVSUFSORT_SRC}/lib/divsufsort.c)
    message(FATAL_ERROR "libdivsufsort source missing in ${DIVSUFSORT_SRC}; run scripts/bootstrap.sh")
  endif()
  set(W64BIT "")
  set(INCFILE "#include <inttypes.h>")
  set(DIVSUFSORT_EXPORT "")
  set(DIVSUFSORT_IMPORT "")
  set(SAUCHAR_TYPE uint8_t)
  set(SAINT32_TYPE int32_t)
  set(SAINDEX_TYPE int32_t)
  set(SAINT_PRId PRId32)
  set(SAINDEX_PRId PRId32)
  configure_file(${DIVSUFSORT_SRC}/include/divsufsort.h.cmake ${CMAKE_BINARY_DIR}/divsufsort/divsufsort.h @ONLY)
  add_library(divsufsort STATIC ${DIVSUFSORT_SRC}/lib/divsufsort.c ${DIVSUFSORT_SRC}/lib/sssort.c
    ${DIVSUFSORT_SRC}/lib/trsort.c)
  target_include_directories(divsufsort PUBLIC ${CMAKE_BINARY_DIR}/divsufsort PRIVATE ${DIVSUFSORT_SRC}/include)
  target_compile_definitions(divsufsort PRIVATE HAVE_STRING_H=1 HAVE_STDLIB_H=1 HAVE_INTTYPES_H=1
    HAVE_STDINT_H=1 INLINE=inline PROJECT_VERSION_FULL="2.0.1")
  target_compile_options(divsufsort PRIVATE -O2 -w)
else()
  find_library(DIVSUFSORT_LIBRARY divsufsort REQUIRED)
  find_path(DIVSUFSORT_INCLUDE divsufsort.h REQUIRED)
  add_library(divsufsort UNKNOWN IMPORTED)
  set_target_properties(divsufsort PROPERTIES IMPORTED_LOCATION ${DIVSUFSORT_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${DIVSUFSORT_INCLUDE})
endif()

# A file of libbzip2's with one of the packer's patches: OUTPUT from FILE.
function(kvx_patched_bzip2 file patch output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bzip2
    COMMAND patch -s -o ${output} ${BZIP2_SRC}/${file} ${CMAKE_SOURCE_DIR}/packer/bzip2/${patch}
    DEPENDS ${BZIP2_SRC}/${file} packer/bzip2/${patch}
    VERBATIM)
endfunction()
kvx_patched_bzip2(compress.c mtf.patch ${CMAKE_BINARY_DIR}/bzip2/compress.c)
kvx_patched_bzip2(bzlib.c crc.patch ${CMAKE_BINARY_DIR}/bzip2/bzlib.c)
set(KVX_BZ2_PACKER_SOURCES ${BZIP2_DECODER_SOURCES} ${CMAKE_BINARY_DIR}/bzip2/compress.c
  packer/bzip2/stocksort.c packer/bzip2/suffixsort.c packer/bzip2/crc.c)
list(TRANSFORM KVX_BZ2_PACKER_SOURCES REPLACE "^${BZIP2_SRC}/bzlib.c$" "${CMAKE_BINARY_DIR}/bzip2/bzlib.c")

add_library(bz2_packer STATIC ${KVX_BZ2_PACKER_SOURCES})
target_include_directories(bz2_packer PUBLIC ${BZIP2_SRC} ${CMAKE_SOURCE_DIR}/packer/bzip2)
target_compile_options(bz2_packer PRIVATE -O2 -w)
target_link_libraries(bz2_packer PUBLIC divsufsort)
