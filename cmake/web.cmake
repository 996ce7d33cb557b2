# The page that packs in a browser (make web): the packer's library compiled
# to WebAssembly by Debian's emscripten, run in a Web Worker.  Everything the
# page needs is in build/web: index.html, its style and script, the message
# catalogue as JavaScript, and engine.js, which holds the worker's code with
# the WebAssembly inside it (one file, so the page works opened from a file:
# a page from file:// may not fetch, and may start a worker only from a Blob).
if(NOT KVX_HOST_DIR)
  message(FATAL_ERROR "KVX_HOST_DIR must name the host build tree (it makes the code page 932 tables)")
endif()
set(KVX_WEB ${CMAKE_SOURCE_DIR}/build/web CACHE PATH "where the page goes")

# The packer's libbzip2 and library as the other systems build them, with the
# catalogue carried inside (no gettext here) and code page 932 from tables
# made from glibc's iconv on the host (no CP932 in emscripten's iconv).
set(KVX_EMBEDDED_CATALOGUE ${CMAKE_BINARY_DIR}/catalogue.cpp)
kvx_embed(${KVX_CATALOGUE} ${KVX_EMBEDDED_CATALOGUE} EmbeddedCatalogue)
target_sources(packlib PRIVATE packer/lib/language_embedded.cpp packer/lib/cp932.cpp ${KVX_EMBEDDED_CATALOGUE}
  ${KVX_HOST_DIR}/cp932_tables.cpp)
# No threads (a page that is not cross-origin isolated has none), C++
# exceptions as WebAssembly has them, and SSE2 as WebAssembly's SIMD, which
# every browser that runs the page has (move-to-front, sixteen places at once).
set(KVX_WEB_FLAGS -fwasm-exceptions -msimd128 -msse2)
foreach(target bz2_packer sfxwriter packlib)
  target_compile_options(${target} PRIVATE ${KVX_WEB_FLAGS})
endforeach()

add_executable(kvxsfx-engine packer/web/web.cpp ${KVX_CARRIED_STUB})
target_compile_options(kvxsfx-engine PRIVATE ${KVX_WEB_FLAGS})
target_include_directories(kvxsfx-engine SYSTEM PRIVATE ${KVX_HEADER_LIBRARIES})
target_link_libraries(kvxsfx-engine PRIVATE packlib)
target_link_options(kvxsfx-engine PRIVATE ${KVX_WEB_FLAGS}
  -sENVIRONMENT=worker -sSINGLE_FILE=1 -sFORCE_FILESYSTEM=1 -lworkerfs.js
  -sALLOW_MEMORY_GROWTH=1 -sINITIAL_MEMORY=64MB -sMAXIMUM_MEMORY=4GB
  -sEXPORTED_FUNCTIONS=_kvx_pack,_kvx_list,_kvx_test,_kvx_extract,_kvx_use_japanese -sEXPORTED_RUNTIME_METHODS=FS,ccall)

# The page: the engine, fflate (which writes the .zip of a file the page
# opens) and the worker's code in one function, the catalogue as JavaScript,
# and the page's own files.  fflate comes from the npm registry at the
# version packer/web/package-lock.json names (scripts/bootstrap.sh).
# Made again whenever the engine or any of these sources changes.
find_program(PERL perl REQUIRED)
set(KVX_FFLATE ${CMAKE_SOURCE_DIR}/packer/web/node_modules/fflate)
if(NOT EXISTS ${KVX_FFLATE}/umd/index.js)
  message(FATAL_ERROR "${KVX_FFLATE} is missing: run npm ci in packer/web (scripts/bootstrap.sh test does)")
endif()
set(KVX_PAGE_FILES index.html page.css page.js)
list(TRANSFORM KVX_PAGE_FILES PREPEND ${CMAKE_SOURCE_DIR}/packer/web/ OUTPUT_VARIABLE KVX_PAGE_SOURCES)
list(TRANSFORM KVX_PAGE_FILES PREPEND ${KVX_WEB}/ OUTPUT_VARIABLE KVX_PAGE_OUTPUTS)
add_custom_command(OUTPUT ${KVX_WEB}/engine.js ${KVX_WEB}/catalogue.js ${KVX_PAGE_OUTPUTS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KVX_WEB}
  COMMAND ${PERL} ${CMAKE_SOURCE_DIR}/tools/web/assemble.pl $<TARGET_FILE:kvxsfx-engine>
          ${CMAKE_SOURCE_DIR}/packer/web/worker.js ${KVX_WEB}/engine.js ${KVX_FFLATE}/umd/index.js ${KVX_FFLATE}/LICENSE
  COMMAND ${PERL} ${CMAKE_SOURCE_DIR}/tools/web/catalogue.pl ${CMAKE_SOURCE_DIR}/po/ja.po ${KVX_WEB}/catalogue.js
  COMMAND ${CMAKE_COMMAND} -E copy ${KVX_PAGE_SOURCES} ${KVX_WEB}
  DEPENDS kvxsfx-engine ${CMAKE_SOURCE_DIR}/packer/web/worker.js ${CMAKE_SOURCE_DIR}/tools/web/assemble.pl
          ${KVX_FFLATE}/umd/index.js
          ${CMAKE_SOURCE_DIR}/tools/web/catalogue.pl ${CMAKE_SOURCE_DIR}/po/ja.po ${KVX_PAGE_SOURCES}
  VERBATIM)
add_custom_target(page ALL DEPENDS ${KVX_WEB}/engine.js ${KVX_WEB}/catalogue.js ${KVX_PAGE_OUTPUTS})
