# Windows side: libbzip2, the stub, and the tests that run under Wine.
if(NOT KVX_HOST_DIR)
  message(FATAL_ERROR "KVX_HOST_DIR must name the host build tree (it holds pefit)")
endif()

# Flags for everything that goes into the stub: small code, no exceptions or
# unwind tables, every function in its own section so the linker drops the
# unused ones, and msvcrt's own printf family instead of MinGW's.
set(KVX_STUB_FLAGS
  -Os -fno-exceptions -fno-asynchronous-unwind-tables -fno-unwind-tables
  -ffunction-sections -fdata-sections -fno-stack-protector -fno-ident
  -D__USE_MINGW_ANSI_STDIO=0 -DWIN32_LEAN_AND_MEAN -DWINVER=0x0501 -D_WIN32_WINNT=0x0501)
set(KVX_STUB_CXX_FLAGS -fno-rtti -fno-threadsafe-statics)

# The stub's libbzip2: the decoder only.
add_library(bz2_decode STATIC ${BZIP2_DECODER_SOURCES} src/archive/bzip2_decode_only.c)
target_compile_options(bz2_decode PRIVATE ${KVX_STUB_FLAGS} -O2 -w)
target_include_directories(bz2_decode PUBLIC ${BZIP2_SRC})

# The packer's libbzip2 uses msvcrt's printf family, as libbzip2 always did,
# and SSE2 for move-to-front, as every Windows since 8 requires.  32-bit
# Windows keeps stacks aligned to 4 bytes only, so functions that keep SSE2
# values on the stack align it themselves.
target_compile_definitions(bz2_packer PRIVATE __USE_MINGW_ANSI_STDIO=0)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL i686)
  target_compile_options(bz2_packer PRIVATE -msse2 -mstackrealign)
endif()

# The stub's code apart from its entry point, so the tests can link it too.
add_library(kvxcore OBJECT ${KVX_CORE_SOURCES})
target_compile_options(kvxcore PRIVATE ${KVX_STUB_FLAGS} ${KVX_STUB_CXX_FLAGS})
target_include_directories(kvxcore PUBLIC src ${BZIP2_SRC})

# Dialogs and the icon, from UTF-8.
set(KVX_RESOURCES ${CMAKE_BINARY_DIR}/resources.res.obj)
add_custom_command(OUTPUT ${KVX_RESOURCES}
  COMMAND ${CMAKE_RC_COMPILER} -c 65001 -I ${CMAKE_SOURCE_DIR}/src/ui -O coff
          ${CMAKE_SOURCE_DIR}/src/ui/resources.rc ${KVX_RESOURCES}
  DEPENDS src/ui/resources.rc src/ui/kvx.ico
  VERBATIM)
add_custom_target(kvxresources DEPENDS ${KVX_RESOURCES})

add_executable(kvxsfx_linked WIN32 src/app/winmain.cpp $<TARGET_OBJECTS:kvxcore> ${KVX_RESOURCES})
target_compile_options(kvxsfx_linked PRIVATE ${KVX_STUB_FLAGS} ${KVX_STUB_CXX_FLAGS})
target_include_directories(kvxsfx_linked PRIVATE src)
# Our own entry point replaces the C runtime's start-up; only system DLLs are
# imported and libgcc is linked statically.
target_link_options(kvxsfx_linked PRIVATE
  -nostdlib -nostartfiles -Wl,-e,${KVX_STUB_ENTRY_SYMBOL} -Wl,--gc-sections -s
  -Wl,--subsystem,windows -Wl,--file-alignment,512 -Wl,--section-alignment,4096
  -Wl,--nxcompat -Wl,--dynamicbase
  -Wl,--no-insert-timestamp -Wl,-Map,${CMAKE_BINARY_DIR}/kvxsfx.map)
target_link_libraries(kvxsfx_linked PRIVATE bz2_decode kernel32 user32 gdi32 shell32 msvcrt gcc)

add_custom_command(TARGET kvxsfx_linked POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KVX_DIST}
  COMMAND ${KVX_HOST_DIR}/pefit $<TARGET_FILE:kvxsfx_linked> ${KVX_STUB}
  VERBATIM)

# On Windows the packer carries its message catalogue inside it.
set(KVX_EMBEDDED_CATALOGUE ${CMAKE_BINARY_DIR}/catalogue.cpp)
kvx_embed(${KVX_CATALOGUE} ${KVX_EMBEDDED_CATALOGUE} EmbeddedCatalogue)
target_sources(packlib PRIVATE packer/lib/language_windows.cpp packer/lib/language_embedded.cpp ${KVX_EMBEDDED_CATALOGUE})

# The packer for Windows, from the same sources.
add_executable(kvxsfx-pack packer/pack/main.cpp ${KVX_CARRIED_STUB})
target_link_libraries(kvxsfx-pack PRIVATE packlib shell32)
target_link_options(kvxsfx-pack PRIVATE -static)
add_dependencies(kvxsfx-pack kvxsfx_linked)
add_custom_command(TARGET kvxsfx-pack POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kvxsfx-pack> ${KVX_DIST}/kvxsfx-pack.exe
  VERBATIM)

# The builder, a window for Windows over the same library.
set(KVX_BUILDER_RESOURCES ${CMAKE_BINARY_DIR}/builder.res.obj)
add_custom_command(OUTPUT ${KVX_BUILDER_RESOURCES}
  COMMAND ${CMAKE_RC_COMPILER} -c 65001 -I ${CMAKE_SOURCE_DIR}/packer/builder -I ${CMAKE_SOURCE_DIR}/src/ui
          -O coff ${CMAKE_SOURCE_DIR}/packer/builder/builder.rc ${KVX_BUILDER_RESOURCES}
  DEPENDS packer/builder/builder.rc packer/builder/builder.manifest packer/builder/ids.h src/ui/kvx.ico
  VERBATIM)
add_library(builderlib STATIC packer/builder/builder.cpp)
target_include_directories(builderlib PUBLIC packer/builder)
target_compile_definitions(builderlib PUBLIC UNICODE _UNICODE WINVER=0x0601 _WIN32_WINNT=0x0601)
target_link_libraries(builderlib PUBLIC packlib comctl32 comdlg32 shell32 ole32 uuid)
add_executable(kvxsfx-builder WIN32 packer/builder/main.cpp ${KVX_CARRIED_STUB} ${KVX_BUILDER_RESOURCES})
target_link_libraries(kvxsfx-builder PRIVATE builderlib)
target_link_options(kvxsfx-builder PRIVATE -static -municode)
add_dependencies(kvxsfx-builder kvxsfx_linked)
add_custom_command(TARGET kvxsfx-builder POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kvxsfx-builder> ${KVX_DIST}/kvxsfx-builder.exe
  VERBATIM)

# Tests, run under Wine in a prefix private to this build tree, through a
# wrapper that names the prefix and its architecture for every caller.
set(KVX_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
file(WRITE ${KVX_WINE_RUN} "#!/bin/sh\n# Runs a program under Wine in this build tree's ${KVX_WINE_ARCH} prefix.\n"
  "exec '${CMAKE_SOURCE_DIR}/tests/wine-run.sh' ${KVX_WINE_ARCH} '${CMAKE_BINARY_DIR}/wineprefix' \"$@\"\n")
file(CHMOD ${KVX_WINE_RUN} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KVX_WINE_RUN})
add_executable(kvx_win_tests
  tests/win/testutil.cpp
  tools/driver/driver.cpp
  tests/win/environment_test.cpp
  tests/win/fileio_test.cpp
  tests/win/buffers_test.cpp
  tests/win/format_test.cpp
  tests/win/e2e_test.cpp
  tests/win/pack_roundtrip_test.cpp
  tests/win/faults_test.cpp
  tests/win/paths_test.cpp
  tests/win/pathtext_test.cpp
  tests/win/progress_test.cpp
  tests/win/storedtypes_test.cpp
  tests/win/decompress_test.cpp
  tests/win/extract_test.cpp
  $<TARGET_OBJECTS:kvxcore>
  ${KVX_RESOURCES})
target_include_directories(kvx_win_tests PRIVATE src tests/win tools/driver)
target_link_libraries(kvx_win_tests PRIVATE packlib bz2_packer gtest_main shlwapi)
target_link_options(kvx_win_tests PRIVATE -static)
target_compile_definitions(kvx_win_tests PRIVATE KVX_STUB_PATH="Z:${KVX_STUB}"
  KVX_ARTIFACTS="Z:${CMAKE_BINARY_DIR}/artifacts/")
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/artifacts)

# Streams made by the bzip2 program: libbzip2's own samples, and one of them
# compressed again here with the smallest block size.
set(KVX_TESTDATA ${CMAKE_BINARY_DIR}/testdata)
add_custom_command(OUTPUT ${KVX_TESTDATA}/sample2.1.bz2
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KVX_TESTDATA}
  COMMAND ${CMAKE_COMMAND} -E copy ${BZIP2_SRC}/sample1.bz2 ${BZIP2_SRC}/sample1.ref
          ${BZIP2_SRC}/sample3.bz2 ${BZIP2_SRC}/sample3.ref ${BZIP2_SRC}/sample2.ref ${KVX_TESTDATA}
  COMMAND sh -c "bzip2 -1 -c < ${BZIP2_SRC}/sample2.ref > ${KVX_TESTDATA}/sample2.1.bz2"
  VERBATIM)
add_custom_target(kvxtestdata DEPENDS ${KVX_TESTDATA}/sample2.1.bz2)
add_dependencies(kvx_win_tests kvxtestdata)
target_compile_definitions(kvx_win_tests PRIVATE KVX_TESTDATA="Z:${KVX_TESTDATA}/")
add_dependencies(kvx_win_tests kvxsfx_linked)
set_target_properties(kvx_win_tests PROPERTIES CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}")
add_test(NAME win_tests COMMAND kvx_win_tests)
set_tests_properties(win_tests PROPERTIES TIMEOUT 240)

# The same tests over an instrumented copy of the stub's code, for
# `make coverage` (MinGW's gcov data, written under Wine).
add_library(kvxcore_cov OBJECT EXCLUDE_FROM_ALL ${KVX_CORE_SOURCES})
target_compile_options(kvxcore_cov PRIVATE ${KVX_STUB_FLAGS} ${KVX_STUB_CXX_FLAGS} --coverage -O0)
target_include_directories(kvxcore_cov PUBLIC src ${BZIP2_SRC})
get_target_property(KVX_WIN_TEST_SOURCES kvx_win_tests SOURCES)
list(FILTER KVX_WIN_TEST_SOURCES EXCLUDE REGEX "TARGET_OBJECTS")
add_executable(kvx_win_tests_cov EXCLUDE_FROM_ALL ${KVX_WIN_TEST_SOURCES} $<TARGET_OBJECTS:kvxcore_cov>)
foreach(property INCLUDE_DIRECTORIES LINK_LIBRARIES LINK_OPTIONS COMPILE_DEFINITIONS)
  get_target_property(value kvx_win_tests ${property})
  set_target_properties(kvx_win_tests_cov PROPERTIES ${property} "${value}")
endforeach()
target_link_options(kvx_win_tests_cov PRIVATE --coverage)
add_dependencies(kvx_win_tests_cov kvxtestdata planted_dll)

# The extraction benchmark's harness: the stub's own code, timed.
add_executable(extract_harness EXCLUDE_FROM_ALL bench/extract_harness.cpp tools/driver/driver.cpp
  $<TARGET_OBJECTS:kvxcore> ${KVX_RESOURCES})
target_include_directories(extract_harness PRIVATE src tools/driver)
target_link_libraries(extract_harness PRIVATE bz2_packer psapi)
target_link_options(extract_harness PRIVATE -static)

# The demo's driver: runs a self-extracting file as a person would.
add_executable(demo_run tools/demo/demo_run.cpp tools/driver/driver.cpp)
target_include_directories(demo_run PRIVATE tools/driver)
target_link_options(demo_run PRIVATE -static)

# A DLL that records being loaded, planted beside self-extracting files.
add_library(planted_dll SHARED tests/win/planted_dll.c)
set_target_properties(planted_dll PROPERTIES PREFIX "" OUTPUT_NAME planted)
target_link_options(planted_dll PRIVATE -static-libgcc)
add_dependencies(kvx_win_tests planted_dll)

# Planted DLLs are tested from outside: Wine takes WINEDLLOVERRIDES from the
# environment a process starts in, which a Windows parent cannot change.
add_executable(planted_control tests/win/planted_control.c)
add_test(NAME planted_dlls
  COMMAND ${CMAKE_SOURCE_DIR}/tests/planted_dlls.sh ${KVX_WINE_RUN}
          $<TARGET_FILE:planted_dll> $<TARGET_FILE:demo_run> ${KVX_HOST_DIR}/kvxsfx-pack ${KVX_STUB}
          $<TARGET_FILE:planted_control>)
set_tests_properties(planted_dlls PROPERTIES TIMEOUT 60)

# Packed files run through the real stub: signed after packing, and one large
# file compressed in several blocks at once.
add_test(NAME stub_runs
  COMMAND ${CMAKE_SOURCE_DIR}/tests/stub_runs.sh ${KVX_WINE_RUN}
          $<TARGET_FILE:demo_run> ${KVX_HOST_DIR}/kvxsfx-pack ${KVX_STUB})
set_tests_properties(stub_runs PROPERTIES TIMEOUT 90)

# The builder driven as a person would: the real program, and its window in
# the test's own process for a real WM_DROPFILES.
add_executable(kvx_builder_tests tests/win/builder_test.cpp tests/win/testutil.cpp tools/driver/driver.cpp
  $<TARGET_OBJECTS:kvxcore> ${KVX_BUILDER_RESOURCES})
target_include_directories(kvx_builder_tests PRIVATE src tests/win tools/driver)
target_link_libraries(kvx_builder_tests PRIVATE builderlib gtest_main shlwapi)
target_link_options(kvx_builder_tests PRIVATE -static)
target_compile_definitions(kvx_builder_tests PRIVATE KVX_STUB_PATH="Z:${KVX_STUB}" KVX_DIST="Z:${KVX_DIST}/"
  KVX_SOURCE="Z:${CMAKE_SOURCE_DIR}/"
  KVX_ARTIFACTS="Z:${CMAKE_BINARY_DIR}/artifacts/")
add_dependencies(kvx_builder_tests kvxsfx-builder)
set_target_properties(kvx_builder_tests PROPERTIES CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}")
add_test(NAME builder_tests COMMAND kvx_builder_tests)
set_tests_properties(builder_tests PROPERTIES TIMEOUT 180)

# The Debian package, make install and the Windows zip, as people install them.
add_test(NAME packages
  COMMAND ${CMAKE_SOURCE_DIR}/tests/package.sh ${PROJECT_VERSION} ${KVX_HOST_DIR} ${CMAKE_BINARY_DIR} ${KVX_WINE_RUN})
set_tests_properties(packages PROPERTIES TIMEOUT 300)

# A crashing program fails within seconds, judged by Wine's report: no crash
# dialog waits, and no exit status of 0 passes a crash.
add_executable(crash WIN32 tests/win/crash.c)
add_test(NAME crash_fails_fast COMMAND ${CMAKE_SOURCE_DIR}/tests/wine_run.sh ${KVX_WINE_RUN} $<TARGET_FILE:crash>)
set_tests_properties(crash_fails_fast PROPERTIES TIMEOUT 200)

# The mutation campaign through the real stub: a seeded sample in the tests,
# long campaigns with `make fuzz-stub N=10000`.
add_executable(stub_campaign tests/win/campaign.cpp tools/driver/driver.cpp)
target_include_directories(stub_campaign PRIVATE tools/driver)
target_link_libraries(stub_campaign PRIVATE sfxwriter bz2_packer)
target_link_options(stub_campaign PRIVATE -static)
add_dependencies(stub_campaign kvxsfx_linked)
add_test(NAME stub_campaign_sample COMMAND stub_campaign "Z:${KVX_STUB}" 1 200)
set_tests_properties(stub_campaign_sample PROPERTIES TIMEOUT 400)

include(cmake/packaging.cmake)
