# Host (Linux) side: the post-link tool, and the native tests.
find_package(BZip2 REQUIRED)
target_link_libraries(sfxwriter PUBLIC BZip2::BZip2)

add_executable(pefit tools/pefit/pefit.cpp)

add_executable(kvx_host_tests
  tests/host/sfxwriter_test.cpp
  tests/host/stub_layout_test.cpp)
target_link_libraries(kvx_host_tests sfxwriter gtest_main)
target_compile_definitions(kvx_host_tests PRIVATE KVX_STUB_PATH="${KVX_STUB}")
add_test(NAME host_tests COMMAND kvx_host_tests)

add_executable(bench_pack EXCLUDE_FROM_ALL bench/bench_pack.cpp)
target_link_libraries(bench_pack sfxwriter)
