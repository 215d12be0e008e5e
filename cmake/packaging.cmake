# Install layout and the Debian package.
#
# One layout for every install: the programs in <prefix>/bin with the window
# images in <prefix>/bin/Image (the tool reads its images from its own folder,
# applicationDirPath + "/Image/"), the desktop entry and the icon in
# <prefix>/share as usual.
#
# The session's start: a systemd user unit in <prefix>/share/systemd/user (on the
# user manager's search path for /usr, /usr/local and ~/.local), naming the
# installed tool by its full path, and a desktop entry for ~/.config/autostart in
# <prefix>/share/prismara-nanoleaf-tool/autostart. The man page, made from --help by
# help2man when it is installed, in <prefix>/share/man/man1.
#
# The Debian package puts that tree under /opt/prismara-nanoleaf-tool, since
# Image/ must sit beside the binary and Debian allows no folders in /usr/bin, and
# links the tool, its desktop entry, its icon, the autostart entry and the man
# page into /usr; the unit moves to /usr/lib/systemd/user (a link there would make
# it a "linked" unit to systemctl). Starting the tool
# through /usr/bin/prismara-nanoleaf-tool still finds its images: Qt takes the
# application path from /proc/self/exe, which is the link's target. The
# simulators stay in /opt/prismara-nanoleaf-tool/bin; their names are too
# generic for /usr/bin.
#
#   cmake --build BUILD --target package   ->  BUILD/prismara-nanoleaf-tool_<version>_<arch>.deb

if(NOT PRISMARA_CORE_ONLY)
  include(GNUInstallDirs)

  set(PRISMARA_PACKAGE_NAME prismara-nanoleaf-tool)
  set(PRISMARA_PACKAGE_PREFIX /opt/${PRISMARA_PACKAGE_NAME})

  # nanoleaf-sim binds fixed ports and answers broadcasts, so it runs only in a
  # private network namespace, which this script sets up.
  if(PRISMARA_TOOLS)
    install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/netns-run DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/${PRISMARA_PACKAGE_NAME}.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # Drawn by the image generator (assets/) along with the window images.
  install(FILES ${CMAKE_BINARY_DIR}/bin/Image/${PRISMARA_PACKAGE_NAME}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)

  install(FILES ${CMAKE_SOURCE_DIR}/packaging/${PRISMARA_PACKAGE_NAME}-autostart.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/${PRISMARA_PACKAGE_NAME}/autostart
          RENAME ${PRISMARA_PACKAGE_NAME}.desktop)
  # The unit names the tool where this install puts it, so it is written at
  # install time, when the prefix (--prefix, or CPack's) is known.
  set(PRISMARA_UNIT ${PRISMARA_PACKAGE_NAME}.service)
  set(PRISMARA_UNIT_DIR ${CMAKE_INSTALL_DATADIR}/systemd/user)
  # Written to a folder of each install's own, so installs at once (CPack's, a
  # test's) never share the file.
  install(CODE "
    set(PRISMARA_TOOL \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${PRISMARA_PACKAGE_NAME}\")
    string(MD5 install_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(unit \"${CMAKE_BINARY_DIR}/packaging/installed-\${install_key}/${PRISMARA_UNIT}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/packaging/${PRISMARA_UNIT}.in\" \"\${unit}\" @ONLY)
    file(INSTALL \"\${unit}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${PRISMARA_UNIT_DIR}\")")

  # The man page, from the tool's own --help and --version.
  find_program(PRISMARA_HELP2MAN help2man)
  find_program(PRISMARA_GZIP gzip)
  set(PRISMARA_MAN_PAGE "")
  if(PRISMARA_HELP2MAN AND PRISMARA_GZIP AND NOT CMAKE_CROSSCOMPILING)
    set(page ${CMAKE_BINARY_DIR}/man/${PRISMARA_PACKAGE_NAME}.1)
    set(PRISMARA_MAN_PAGE ${page}.gz)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
              ${PRISMARA_HELP2MAN} --no-info --section=1
              "--name=mirror a host application's colours on Nanoleaf light panels"
              --output=${page} $<TARGET_FILE:prismara-nanoleaf-tool>
      COMMAND ${PRISMARA_GZIP} -9nf ${page}
      DEPENDS prismara-nanoleaf-tool
      COMMENT "Writing the man page from --help"
      VERBATIM)
    add_custom_target(prismara-man-page ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(STATUS "help2man or gzip not found (or cross-compiling): no man page")
  endif()

  # Links from /usr into the package's tree, "link=target" relative to the
  # package root and the package prefix. Made in the staged tree only, so a
  # plain cmake --install never writes outside its prefix.
  set(PRISMARA_PACKAGE_LINKS
    "usr/bin/${PRISMARA_PACKAGE_NAME}=${CMAKE_INSTALL_BINDIR}/${PRISMARA_PACKAGE_NAME}"
    "usr/share/applications/${PRISMARA_PACKAGE_NAME}.desktop=${CMAKE_INSTALL_DATADIR}/applications/${PRISMARA_PACKAGE_NAME}.desktop"
    "usr/share/icons/hicolor/256x256/apps/${PRISMARA_PACKAGE_NAME}.png=${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps/${PRISMARA_PACKAGE_NAME}.png"
    "usr/share/${PRISMARA_PACKAGE_NAME}/autostart/${PRISMARA_PACKAGE_NAME}.desktop=${CMAKE_INSTALL_DATADIR}/${PRISMARA_PACKAGE_NAME}/autostart/${PRISMARA_PACKAGE_NAME}.desktop")
  if(PRISMARA_MAN_PAGE)
    list(APPEND PRISMARA_PACKAGE_LINKS
      "usr/share/man/man1/${PRISMARA_PACKAGE_NAME}.1.gz=${CMAKE_INSTALL_MANDIR}/man1/${PRISMARA_PACKAGE_NAME}.1.gz")
  endif()
  # Moved out of the package's tree, "place=file" as above.
  set(PRISMARA_PACKAGE_MOVES "usr/lib/systemd/user/${PRISMARA_UNIT}=${PRISMARA_UNIT_DIR}/${PRISMARA_UNIT}")
  configure_file(${CMAKE_SOURCE_DIR}/packaging/systemlinks.cmake.in
                 ${CMAKE_BINARY_DIR}/packaging/systemlinks.cmake @ONLY)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME ${PRISMARA_PACKAGE_NAME})
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "Prismara")
  set(CPACK_PACKAGE_CONTACT "Prismara Nanoleaf Tool developers <prismara-nanoleaf-tool@localhost>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Drives Nanoleaf light panels from a host RGB-lighting application")
  set(CPACK_PACKAGE_DESCRIPTION "Finds Nanoleaf Light Panels and Canvas devices on the local network, pairs
with them and streams the host application's colours to their panels.
Also installs, under ${PRISMARA_PACKAGE_PREFIX}/bin, nanoleaf-sim (simulated
Nanoleaf devices), host-sim (a stand-in for the host application) and
netns-run (runs nanoleaf-sim in a private network namespace).")
  set(CPACK_PACKAGING_INSTALL_PREFIX ${PRISMARA_PACKAGE_PREFIX})
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The Qt 5 runtime and, for nanoleaf-sim, libcpp-httplib: found by
  # dpkg-shlibdeps (package dpkg-dev) from the binaries themselves.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # netns-run needs ip(8).
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS iproute2)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/packaging/systemlinks.cmake)
  set(CPACK_SOURCE_GENERATOR TGZ)
  set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
  include(CPack)
endif()
