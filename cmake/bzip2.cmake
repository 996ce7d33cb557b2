# libbzip2 for the packer, built from Debian's source on both systems:
# libbzip2's compressor as it is, but for the block sorter (the packer's own,
# packer/bzip2/sorter.c over induced.cpp, with libbzip2's sorter kept as
# BZ2_blockSortStock for the blocks it orders faster or alone exactly), a
# move-to-front step that reads the last column the sorter left, with the
# whole list in four 512-bit registers where the processor has AVX-512 VBMI
# (mtfwide.c), else finding most bytes among eight places in a 64-bit word
# (mtf.h), a Huffman coder that writes the block's data with
# its bit writer in registers, two codes a store (compress.patch), and an input stage that keeps its state
# in registers and takes eight bytes a step where no run reaches four, with a block CRC taken over the input as it
# is consumed, sixteen bytes a step by carry-less multiplication or eight by tables (input.patch, crc.c), and a Huffman code builder whose heap
# needs no lookups (huffman.patch).  The streams are libbzip2's to the byte,
# unless a stream asks for Huffman tables chosen for size (--smallest:
# tables.cpp, and a field for it in EState, private.patch).

# libdivsufsort (Debian's) is only a benchmark's anchor, on Linux; `make demo`
# builds without it (the bootstrap installs it with the test tools).
if(NOT CMAKE_CROSSCOMPILING)
  find_library(DIVSUFSORT_LIBRARY divsufsort)
  find_path(DIVSUFSORT_INCLUDE divsufsort.h)
endif()
if(DIVSUFSORT_LIBRARY AND DIVSUFSORT_INCLUDE)
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
kvx_patched_bzip2(compress.c compress.patch ${CMAKE_BINARY_DIR}/bzip2/compress.c)
kvx_patched_bzip2(bzlib.c input.patch ${CMAKE_BINARY_DIR}/bzip2/bzlib.c)
kvx_patched_bzip2(huffman.c huffman.patch ${CMAKE_BINARY_DIR}/bzip2/huffman.c)
kvx_patched_bzip2(bzlib_private.h private.patch ${CMAKE_BINARY_DIR}/bzip2/bzlib_private.h)
set(KVX_BZ2_PACKER_SOURCES ${BZIP2_DECODER_SOURCES} ${CMAKE_BINARY_DIR}/bzip2/compress.c
  packer/bzip2/stocksort.c packer/bzip2/sorter.c packer/bzip2/induced.cpp packer/bzip2/crc.c
  packer/bzip2/tables.cpp packer/bzip2/mtfwide.c ${CMAKE_BINARY_DIR}/bzip2/bzlib_private.h)
list(TRANSFORM KVX_BZ2_PACKER_SOURCES REPLACE "^${BZIP2_SRC}/(bzlib|huffman).c$" "${CMAKE_BINARY_DIR}/bzip2/\\1.c")

add_library(bz2_packer STATIC ${KVX_BZ2_PACKER_SOURCES})
# The packer's bzlib_private.h (one field more at the end of EState) comes
# before libbzip2's own.
target_include_directories(bz2_packer PUBLIC ${CMAKE_BINARY_DIR}/bzip2 ${BZIP2_SRC} ${CMAKE_SOURCE_DIR}/packer/bzip2)
target_compile_options(bz2_packer PRIVATE -O2 -w)
# The table search costs each group under all tables at once: vectorised.
# The induced sort measured 1 to 2.5 % faster at -O3 too.
set_source_files_properties(packer/bzip2/tables.cpp packer/bzip2/induced.cpp PROPERTIES COMPILE_OPTIONS -O3)
