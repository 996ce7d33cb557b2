# Installation and packages: `make install` and the Debian package from the
# host tree, the Windows zip from the cross tree.  The version is the
# project's, set in CMakeLists.txt.
set(KVX_DOCS ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/README.ja.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KVX_DOCS} ${BZIP2_SRC}/LICENSE
  ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_NAME kvxsfx-pack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kvxsfx developers")
set(CPACK_PACKAGE_CONTACT "kvxsfx developers <kvxsfx@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make self-extracting files for Japanese Windows")
set(CPACK_OUTPUT_FILE_PREFIX ${KVX_DIST})
set(CPACK_STRIP_FILES ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(NOT CMAKE_CROSSCOMPILING)
  # Manual pages with the version put in and Japanese line breaking.
  set(KVX_MAN ${CMAKE_BINARY_DIR}/man)
  add_custom_command(OUTPUT ${KVX_MAN}/kvxsfx-pack.1 ${KVX_MAN}/ja/kvxsfx-pack.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KVX_MAN}/ja
    COMMAND perl ${CMAKE_SOURCE_DIR}/tools/man/prepare.pl ${PROJECT_VERSION}
            < ${CMAKE_SOURCE_DIR}/packer/man/kvxsfx-pack.1 > ${KVX_MAN}/kvxsfx-pack.1
    COMMAND perl ${CMAKE_SOURCE_DIR}/tools/man/prepare.pl ${PROJECT_VERSION}
            < ${CMAKE_SOURCE_DIR}/packer/man/ja/kvxsfx-pack.1 > ${KVX_MAN}/ja/kvxsfx-pack.1
    DEPENDS packer/man/kvxsfx-pack.1 packer/man/ja/kvxsfx-pack.1 tools/man/prepare.pl
    VERBATIM)
  add_custom_target(manpages ALL DEPENDS ${KVX_MAN}/kvxsfx-pack.1 ${KVX_MAN}/ja/kvxsfx-pack.1)

  install(TARGETS kvxsfx-pack RUNTIME DESTINATION bin)
  install(FILES ${KVX_MAN}/kvxsfx-pack.1 DESTINATION share/man/man1)
  install(FILES ${KVX_MAN}/ja/kvxsfx-pack.1 DESTINATION share/man/ja/man1)
  install(FILES ${KVX_STUB} DESTINATION share/kvxsfx)
  install(FILES ${KVX_DOCS} DESTINATION share/doc/kvxsfx-pack)
  install(FILES ${KVX_CATALOGUE} DESTINATION share/locale/ja/LC_MESSAGES)

  # What Debian asks of a package beyond that: compressed manual pages, a
  # changelog and a copyright file that carries the project's licence and
  # libbzip2's (the stub holds its decoder, the packer its compressor).  Done only when CPack installs for the package.
  # A licence text as a copyright file's paragraph: indented, blank lines as ".".
  function(kvx_licence_paragraph file variable)
    file(READ ${file} license)
    string(REGEX REPLACE "^[\n-]*\n" "" license "${license}")
    string(REGEX REPLACE "\n+$" "" license "${license}")
    string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
    string(REGEX REPLACE "\n" "\n " license " ${license}")
    string(REGEX REPLACE " +\n" "\n" license "${license}")
    set(${variable} "${license}" PARENT_SCOPE)
  endfunction()
  kvx_licence_paragraph(${BZIP2_SRC}/LICENSE BZIP2_LICENSE)
  kvx_licence_paragraph(${CMAKE_SOURCE_DIR}/LICENSE KVX_LICENSE)
  set(BZIP2_VERSION 1.0.8)
  configure_file(packer/debian/copyright.in ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)
  configure_file(packer/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
  configure_file(packer/debian/lintian-overrides ${CMAKE_BINARY_DIR}/debian/overrides/kvxsfx-pack COPYONLY)
  install(CODE "set(KVX_DEBIAN_FILES ${CMAKE_BINARY_DIR}/debian)")
  install(CODE [[
    if(KVX_DEBIAN)
      set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share")
      foreach(page man/man1/kvxsfx-pack.1 man/ja/man1/kvxsfx-pack.1)
        execute_process(COMMAND gzip -9nf "${root}/${page}" COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
      file(COPY "${KVX_DEBIAN_FILES}/copyright" DESTINATION "${root}/doc/kvxsfx-pack")
      file(COPY "${KVX_DEBIAN_FILES}/changelog" DESTINATION "${root}/doc/kvxsfx-pack")
      file(COPY "${KVX_DEBIAN_FILES}/overrides/kvxsfx-pack" DESTINATION "${root}/lintian/overrides")
      execute_process(COMMAND objcopy --remove-section=.comment "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/kvxsfx-pack"
                      COMMAND_ERROR_IS_FATAL ANY)
      execute_process(COMMAND gzip -9nf "${root}/doc/kvxsfx-pack/changelog" COMMAND_ERROR_IS_FATAL ANY)
    endif()
  ]])

  set(CPACK_GENERATOR DEB)
  set(CPACK_CUSTOM_INSTALL_VARIABLES KVX_DEBIAN=ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "kvxsfx-pack turns files and folders into one self-extracting program for
32-bit Windows.  The person who runs it confirms the destination in a
Japanese dialog showing the distributor's title and message, and gets every
file with its time stamp, a progress window and one closing message.
.
Names are written in Shift_JIS, files are compressed with bzip2 on every
core, and the same inputs always give the same bytes.  It also lists, tests
and extracts such files without running them, signed ones included.")
else()
  # The Windows zip: the packer and the builder, the stub, the READMEs with CRLF line ends, and
  # the project's licence and libbzip2's (both programs hold its code).
  install(TARGETS kvxsfx-pack kvxsfx-builder RUNTIME DESTINATION .)
  install(FILES ${KVX_STUB} DESTINATION .)
  foreach(doc ${KVX_DOCS} ${CMAKE_SOURCE_DIR}/LICENSE ${BZIP2_SRC}/LICENSE)
    get_filename_component(name ${doc} NAME_WE)
    get_filename_component(ext ${doc} EXT)
    if(doc STREQUAL "${CMAKE_SOURCE_DIR}/LICENSE")
      set(ext .txt)
    elseif(doc MATCHES "LICENSE$")
      set(name LICENSE-libbzip2)
      set(ext .txt)
    endif()
    file(READ ${doc} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/docs-crlf/${name}${ext} "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/docs-crlf/${name}${ext} DESTINATION .)
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kvxsfx-pack-${PROJECT_VERSION}-${KVX_WINE_ARCH})
endif()
include(CPack)
