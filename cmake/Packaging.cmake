# Installs the recorder as a desktop application and describes its Debian package.
# Included last from the top level, once every installed target exists.
include(GNUInstallDirs)

set(_packaging ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS brindlow-recorder brindlow-devserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET brindlow-recorder-app)
  install(TARGETS brindlow-recorder-app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${_packaging}/brindlow-recorder.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_packaging}/com.brindlow.recorder.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_packaging}/icons/brindlow-recorder.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Bitmap icons for the panels and menus that do not scale the SVG themselves.
set(BRINDLOW_ICON_SIZES 16 32 48 64 128 256 512)
find_program(BRINDLOW_RSVG_CONVERT rsvg-convert)
if(BRINDLOW_RSVG_CONVERT)
  set(_icon_pngs "")
  foreach(size IN LISTS BRINDLOW_ICON_SIZES)
    set(_dir ${CMAKE_BINARY_DIR}/packaging/icons/${size}x${size})
    add_custom_command(OUTPUT ${_dir}/brindlow-recorder.png
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
      COMMAND ${BRINDLOW_RSVG_CONVERT} -w ${size} -h ${size} -o ${_dir}/brindlow-recorder.png
        ${_packaging}/icons/brindlow-recorder.svg
      DEPENDS ${_packaging}/icons/brindlow-recorder.svg
      VERBATIM)
    list(APPEND _icon_pngs ${_dir}/brindlow-recorder.png)
    install(FILES ${_dir}/brindlow-recorder.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(brindlow-app-icons ALL DEPENDS ${_icon_pngs})
else()
  message(WARNING "rsvg-convert not found (Debian: librsvg2-bin): only the scalable app icon is installed")
endif()

# What Debian asks of every package: its copyright, its changelog (compressed) and a
# manual page for each command, made from the command's own --help so it never drifts.
set(_docdir ${CMAKE_INSTALL_DATADIR}/doc/brindlow-recorder)
install(FILES ${_packaging}/copyright DESTINATION ${_docdir})
set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND sh -c "gzip -9n -c \"$0\" >\"$1\"" ${_packaging}/changelog ${_changelog}
  DEPENDS ${_packaging}/changelog
  VERBATIM)
set(_package_docs ${_changelog})
install(FILES ${_changelog} DESTINATION ${_docdir})

find_program(BRINDLOW_HELP2MAN help2man)
if(BRINDLOW_HELP2MAN)
  set(_man_names
    "brindlow-recorder|sign in, list devices and record the screen, a camera and a microphone"
    "brindlow-recorder-app|the Brindlow desktop recorder"
    "brindlow-devserver|local stand-in for the Brindlow backend")
  foreach(entry IN LISTS _man_names)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 command)
    list(GET entry 1 summary)
    if(NOT TARGET ${command})
      continue()
    endif()
    set(_page ${CMAKE_BINARY_DIR}/packaging/man/${command}.1)
    add_custom_command(OUTPUT ${_page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
        ${BRINDLOW_HELP2MAN} --no-info --version-string=${PROJECT_VERSION} --name=${summary}
        --output=${_page} $<TARGET_FILE:${command}>
      COMMAND gzip -9nf ${_page}
      DEPENDS ${command}
      VERBATIM)
    list(APPEND _package_docs ${_page}.gz)
    install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
else()
  message(WARNING "help2man not found (Debian: help2man): the package has no manual pages")
endif()
add_custom_target(brindlow-package-docs ALL DEPENDS ${_package_docs})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brindlow-recorder)
set(CPACK_PACKAGE_VENDOR Brindlow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Brindlow <support@brindlow.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "screen and camera recorder that uploads while it records")
set(CPACK_PACKAGE_DESCRIPTION "Brindlow records a display, a camera and a microphone from one small\n\
window and uploads the recording while it is being made, so that it opens in\n\
the team's Brindlow library a moment after the recording stops. The package\n\
also holds the brindlow-recorder command line and brindlow-devserver, a local\n\
stand-in for the backend.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://brindlow.com)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What dpkg-shlibdeps cannot see: QML modules loaded at run time and the SVG image plugin.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qml6-module-qtquick, qml6-module-qtquick-controls, \
qml6-module-qtquick-window, qml6-module-qtquick-layouts, qml6-module-qtquick-templates, \
qml6-module-qtqml-workerscript, libqt6svg6")
# Opening links.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
