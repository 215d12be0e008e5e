# Install layout and the Debian package.
#
# One layout for every install: the programs in <prefix>/bin with the window
# images in <prefix>/bin/Image (the tool reads its images from its own folder,
# applicationDirPath + "/Image/"), the desktop entry and the icon in
# <prefix>/share as usual.
#
# The Debian package puts that tree under /opt/prismara-nanoleaf-tool, since
# Image/ must sit beside the binary and Debian allows no folders in /usr/bin, and
# links the tool, its desktop entry and its icon into /usr. Starting the tool
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

  # Links from /usr into the package's tree, "link=target" relative to the
  # package root and the package prefix. Made in the staged tree only, so a
  # plain cmake --install never writes outside its prefix.
  set(PRISMARA_PACKAGE_LINKS
    "usr/bin/${PRISMARA_PACKAGE_NAME}=${CMAKE_INSTALL_BINDIR}/${PRISMARA_PACKAGE_NAME}"
    "usr/share/applications/${PRISMARA_PACKAGE_NAME}.desktop=${CMAKE_INSTALL_DATADIR}/applications/${PRISMARA_PACKAGE_NAME}.desktop"
    "usr/share/icons/hicolor/256x256/apps/${PRISMARA_PACKAGE_NAME}.png=${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps/${PRISMARA_PACKAGE_NAME}.png")
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
