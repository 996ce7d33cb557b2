# Fuzz targets over the stub's code, built for Linux with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer.  The Win32 calls go to a
# test-only layer over POSIX files (tests/fuzz/shim), never to the product.
set(FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -g -O1)

add_library(fuzz_bz2 STATIC
  ${BZIP2_SRC}/bzlib.c ${BZIP2_SRC}/decompress.c ${BZIP2_SRC}/huffman.c
  ${BZIP2_SRC}/crctable.c ${BZIP2_SRC}/randtable.c ${BZIP2_SRC}/compress.c ${BZIP2_SRC}/blocksort.c)
target_compile_options(fuzz_bz2 PRIVATE ${FUZZ_FLAGS} -w)

add_library(fuzz_core STATIC ${KVX_CORE_SOURCES} tests/fuzz/shim/win32.cpp)
target_include_directories(fuzz_core PUBLIC tests/fuzz/shim src tests/fuzz ${BZIP2_SRC})
target_compile_options(fuzz_core PUBLIC ${FUZZ_FLAGS})

foreach(target entries paths pathtext extract)
  add_executable(fuzz_${target} tests/fuzz/fuzz_${target}.cpp)
  target_link_libraries(fuzz_${target} fuzz_core fuzz_bz2)
  target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  # The seed corpus and every input that once found a fault, replayed.
  add_test(NAME corpus_${target}
    COMMAND fuzz_${target} -runs=0 ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target})
  set_tests_properties(corpus_${target} PROPERTIES TIMEOUT 120)
endforeach()

# The packer's libbzip2, with the sanitizers.
add_library(fuzz_bz2_packer STATIC ${KVX_BZ2_PACKER_SOURCES})
target_include_directories(fuzz_bz2_packer PRIVATE ${CMAKE_BINARY_DIR}/bzip2 ${BZIP2_SRC} packer/bzip2)
target_compile_options(fuzz_bz2_packer PRIVATE ${FUZZ_FLAGS} -w)

# The packer's reader (list, test, extract) over files strangers send, with
# the same sanitizers; its own code, not a layer under it.
find_package(Threads REQUIRED)
add_library(fuzz_packlib STATIC
  packer/format/sfxwriter.cpp packer/lib/text.cpp packer/lib/utf8.cpp packer/lib/collect.cpp packer/lib/pack.cpp
  packer/lib/pipeline.cpp packer/lib/bzsplice.cpp packer/lib/smallest.cpp packer/lib/shape.cpp packer/lib/read.cpp packer/lib/cli.cpp
  packer/lib/messages.cpp packer/lib/language_posix.cpp packer/lib/exclude.cpp packer/lib/icon.cpp)
target_include_directories(fuzz_packlib PUBLIC packer/lib packer/format ${BZIP2_SRC} packer/bzip2)
target_include_directories(fuzz_packlib SYSTEM PUBLIC ${KVX_HEADER_LIBRARIES})
target_compile_options(fuzz_packlib PUBLIC ${FUZZ_FLAGS})
target_compile_definitions(fuzz_packlib PRIVATE KVX_VERSION="${PROJECT_VERSION}")
target_link_libraries(fuzz_packlib PUBLIC fuzz_bz2_packer Threads::Threads)
# stb_image (Debian's, built into icon.cpp) hands memcpy a null pointer with a
# length of 0 for an empty IDAT chunk: harmless, and not ours to mend.
set_source_files_properties(packer/lib/icon.cpp TARGET_DIRECTORY fuzz_packlib PROPERTIES
  COMPILE_OPTIONS -fno-sanitize=nonnull-attribute)
# The reader twice (below), the image reader of --icon and the --exclude
# patterns with their bounds.
foreach(target reader unpack image exclude)
  set(source ${target})
  if(target STREQUAL unpack)
    set(source reader)
  endif()
  add_executable(fuzz_${target} tests/fuzz/fuzz_${source}.cpp)
  target_link_libraries(fuzz_${target} fuzz_packlib)
  target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  add_test(NAME corpus_${target}
    COMMAND fuzz_${target} -runs=0 ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target})
  set_tests_properties(corpus_${target} PROPERTIES TIMEOUT 120)
endforeach()
target_compile_definitions(fuzz_unpack PRIVATE FUZZ_EXTRACT)

# The packer's libbzip2 against Debian's, differentially: the packer's, with
# its block cutter and splicer and its search for the smallest stream, built
# with the sanitizers and its BZ2_ names prefixed, so both fit in one program.
add_library(fuzz_bwt_packer STATIC ${KVX_BZ2_PACKER_SOURCES} packer/lib/bzsplice.cpp packer/lib/smallest.cpp
  packer/lib/shape.cpp)
target_include_directories(fuzz_bwt_packer PRIVATE ${CMAKE_BINARY_DIR}/bzip2 ${BZIP2_SRC} packer/bzip2 packer/lib)
target_compile_options(fuzz_bwt_packer PRIVATE ${FUZZ_FLAGS} -w)
set(KVX_BZ2_PREFIXED ${CMAKE_BINARY_DIR}/libkvx_bz2_prefixed.a)
add_custom_command(OUTPUT ${KVX_BZ2_PREFIXED}
  COMMAND ${CMAKE_SOURCE_DIR}/tests/fuzz/prefix_bz2.sh $<TARGET_FILE:fuzz_bwt_packer> ${KVX_BZ2_PREFIXED}
  DEPENDS fuzz_bwt_packer tests/fuzz/prefix_bz2.sh
  VERBATIM)
add_custom_target(kvx_bz2_prefixed DEPENDS ${KVX_BZ2_PREFIXED})
find_package(BZip2 REQUIRED)
add_executable(fuzz_bwt tests/fuzz/fuzz_bwt.cpp)
add_dependencies(fuzz_bwt kvx_bz2_prefixed)
target_compile_options(fuzz_bwt PRIVATE ${FUZZ_FLAGS})
target_include_directories(fuzz_bwt PRIVATE packer/bzip2 packer/lib ${BZIP2_SRC})
target_link_libraries(fuzz_bwt ${KVX_BZ2_PREFIXED} BZip2::BZip2)
target_link_options(fuzz_bwt PRIVATE -fsanitize=fuzzer,address,undefined)
add_test(NAME corpus_bwt COMMAND ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_bwt.sh $<TARGET_FILE:fuzz_bwt>
  ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/bwt)
set_tests_properties(corpus_bwt PROPERTIES TIMEOUT 300)
