# The message catalogue: po/ja.po compiled by Debian's msgfmt into the .mo
# file that Linux installs (share/locale/ja/LC_MESSAGES/kvxsfx-pack.mo) and
# the Windows programs carry inside them.  A copy beside dist/kvxsfx-pack
# (dist/locale) serves the packer run from the tree.
find_program(MSGFMT msgfmt REQUIRED)
set(KVX_CATALOGUE ${CMAKE_BINARY_DIR}/locale/ja/LC_MESSAGES/kvxsfx-pack.mo)
add_custom_command(OUTPUT ${KVX_CATALOGUE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/locale/ja/LC_MESSAGES
  COMMAND ${MSGFMT} --check -o ${KVX_CATALOGUE} ${CMAKE_SOURCE_DIR}/po/ja.po
  DEPENDS po/ja.po
  VERBATIM)
add_custom_target(kvxcatalogue ALL DEPENDS ${KVX_CATALOGUE})
if(NOT CMAKE_CROSSCOMPILING)
  add_custom_command(TARGET kvxcatalogue POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy ${KVX_CATALOGUE} ${KVX_DIST}/locale/ja/LC_MESSAGES/kvxsfx-pack.mo
    VERBATIM)
endif()
