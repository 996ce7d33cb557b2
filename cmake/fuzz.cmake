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
endforeach()
