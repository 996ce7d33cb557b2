# Host (Linux) side: the post-link tool, and the native tests.
target_sources(packlib PRIVATE packer/lib/language_posix.cpp)

add_executable(pefit tools/pefit/pefit.cpp)

# Code page 932 as glibc's iconv maps it, for the page that packs in a
# browser (emscripten's iconv has no CP932).
add_executable(cp932_tables tools/cp932/cp932_tables.cpp)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/cp932_tables.cpp
  COMMAND cp932_tables > ${CMAKE_BINARY_DIR}/cp932_tables.cpp
  DEPENDS cp932_tables
  VERBATIM)
add_custom_target(cp932tables ALL DEPENDS ${CMAKE_BINARY_DIR}/cp932_tables.cpp)
# The tables and the page's conversion over them, against glibc's iconv.
add_executable(kvx_cp932_tests tests/host/cp932_test.cpp packer/lib/cp932.cpp packer/lib/utf8.cpp ${CMAKE_BINARY_DIR}/cp932_tables.cpp)
target_include_directories(kvx_cp932_tests PRIVATE packer/lib packer/format)
target_link_libraries(kvx_cp932_tests gtest_main)
add_test(NAME cp932_tables COMMAND kvx_cp932_tests)
set_tests_properties(cp932_tables PROPERTIES TIMEOUT 120)

add_executable(kvx_host_tests
  tests/host/sfxwriter_test.cpp
  tests/host/stub_layout_test.cpp
  tests/host/pack_test.cpp)
target_link_libraries(kvx_host_tests packlib gtest_main)
target_compile_definitions(kvx_host_tests PRIVATE KVX_STUB_PATH="${KVX_STUB}")
if(KVX_STUB_X86_64)
  target_compile_definitions(kvx_host_tests PRIVATE KVX_STUB_X86_64_PATH="${KVX_STUB_X86_64}")
endif()
add_test(NAME host_tests COMMAND kvx_host_tests)
set_tests_properties(host_tests PROPERTIES TIMEOUT 120)

# The packer's code instrumented, with the host tests, for `make coverage`.
get_target_property(KVX_PACK_SOURCES packlib SOURCES)
add_library(packlib_cov STATIC EXCLUDE_FROM_ALL ${KVX_PACK_SOURCES} packer/format/sfxwriter.cpp)
target_include_directories(packlib_cov PUBLIC packer/lib packer/format)
target_include_directories(packlib_cov SYSTEM PRIVATE ${KVX_HEADER_LIBRARIES})
target_compile_definitions(packlib_cov PRIVATE KVX_VERSION="${PROJECT_VERSION}")
target_compile_options(packlib_cov PRIVATE --coverage -O0)
target_link_libraries(packlib_cov PUBLIC bz2_packer Threads::Threads --coverage)
add_executable(kvx_host_tests_cov EXCLUDE_FROM_ALL tests/host/sfxwriter_test.cpp tests/host/stub_layout_test.cpp
  tests/host/pack_test.cpp)
target_link_libraries(kvx_host_tests_cov packlib_cov gtest_main)
target_compile_definitions(kvx_host_tests_cov PRIVATE KVX_STUB_PATH="${KVX_STUB}")

add_executable(bench_pack EXCLUDE_FROM_ALL bench/bench_pack.cpp)
target_link_libraries(bench_pack sfxwriter)
# The block sorters alone, per kind of data.
if(TARGET divsufsort)
  add_executable(bench_sort EXCLUDE_FROM_ALL bench/bench_sort.cpp)
  target_link_libraries(bench_sort bz2_packer divsufsort)
endif()

# The packer for Linux; built once the stub exists (the Makefile asks for it).
add_executable(kvxsfx-pack EXCLUDE_FROM_ALL packer/pack/main.cpp ${KVX_CARRIED_STUB})
target_link_libraries(kvxsfx-pack packlib)
# Hardened as Debian builds its packages: it reads files strangers send.
target_compile_options(packlib PRIVATE -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
target_link_options(kvxsfx-pack PRIVATE -Wl,-z,relro -Wl,-z,now)
add_custom_command(TARGET kvxsfx-pack POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kvxsfx-pack> ${KVX_DIST}/kvxsfx-pack
  VERBATIM)
include(cmake/packaging.cmake)

# The induced sort built for a big-endian processor (s390x) and run under
# qemu, on the host tests' strings: it reads them little-endian on either.
find_program(KVX_S390X_CXX s390x-linux-gnu-g++)
find_program(KVX_QEMU_S390X qemu-s390x)
if(KVX_S390X_CXX AND KVX_QEMU_S390X)
  set(KVX_ROTATION_ORDER_SOURCES ${CMAKE_SOURCE_DIR}/tests/host/rotation_order_main.cpp
    ${CMAKE_SOURCE_DIR}/packer/bzip2/induced.cpp)
  add_custom_command(OUTPUT rotation_order_s390x
    COMMAND ${KVX_S390X_CXX} -O2 -static -std=gnu++17 -I${CMAKE_SOURCE_DIR}/packer/bzip2
      -I${CMAKE_SOURCE_DIR}/tests/host ${KVX_ROTATION_ORDER_SOURCES} -o rotation_order_s390x
    DEPENDS ${KVX_ROTATION_ORDER_SOURCES} ${CMAKE_SOURCE_DIR}/tests/host/rotation_table.h
      ${CMAKE_SOURCE_DIR}/packer/bzip2/induced.h
    VERBATIM)
  add_custom_target(rotation_order_s390x_program ALL DEPENDS rotation_order_s390x)
  add_test(NAME rotation_order_big_endian COMMAND ${KVX_QEMU_S390X} ${CMAKE_BINARY_DIR}/rotation_order_s390x)
  set_tests_properties(rotation_order_big_endian PROPERTIES TIMEOUT 120)
else()
  message(STATUS "no s390x-linux-gnu-g++ and qemu-s390x: the big-endian run of the induced sort is left out")
endif()

# Which Windows build trees `make test` runs, as this machine's kernel allows.
add_test(NAME windows_trees COMMAND ${CMAKE_SOURCE_DIR}/tests/windows_trees.sh)
set_tests_properties(windows_trees PROPERTIES TIMEOUT 30)
# What the bootstrap installs and says, with stand-ins for apt-get and dpkg.
add_test(NAME bootstrap COMMAND ${CMAKE_SOURCE_DIR}/tests/bootstrap_test.sh)
set_tests_properties(bootstrap PROPERTIES TIMEOUT 60)

# The message catalogue is complete, and the packer speaks Japanese under a
# Japanese locale and English under C.
add_test(NAME catalogue COMMAND ${CMAKE_SOURCE_DIR}/tests/catalogue.sh $<TARGET_FILE:kvxsfx-pack>)
set_tests_properties(catalogue PROPERTIES TIMEOUT 60)

# The page that packs in a browser (make web builds it into build/web), in
# Debian's headless Chromium: the same bytes as the packer's.
add_test(NAME page COMMAND node ${CMAKE_SOURCE_DIR}/tests/web/page_test.mjs ${CMAKE_SOURCE_DIR}
  $<TARGET_FILE:kvxsfx-pack> /usr/bin/chromium ${CMAKE_SOURCE_DIR}/build/web/screenshots)
set_tests_properties(page PROPERTIES TIMEOUT 600)
