# Installation and the Debian package (scripts/package builds it with CPack):
#   bin/            zolcfg, zolcfg-demo, zolctl
#   lib/udev/rules.d/70-rw8.rules, reloaded after installation where udev runs
#   share/applications, share/metainfo, share/icons/hicolor, share/man/man1, share/doc/zolcfg
include(GNUInstallDirs)

set(ZOL_PROJECT_URL "https://www.borvane.fr/zolcfg" CACHE STRING
    "Home page named by the AppStream metadata (its screenshot lies under docs/screenshots there)")
set(ZOL_PACKAGE_MAINTAINER "Borvane <support@borvane.fr>" CACHE STRING
    "Maintainer field of the Debian package")

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
  return()
endif()

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# zolctl installs itself from tools/ once that rule exists; until then it is installed here.
get_property(zol_zolctl_installed GLOBAL PROPERTY ZOL_ZOLCTL_INSTALLED)
if(TARGET zolctl AND NOT zol_zolctl_installed)
  install(TARGETS zolctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/resources/70-rw8.rules DESTINATION lib/udev/rules.d)
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(TARGET zolcfg)
  install(TARGETS zolcfg zolcfg-demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/zolcfg.desktop
                ${PROJECT_SOURCE_DIR}/resources/desktop/zolcfg-demo.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${PROJECT_SOURCE_DIR}/resources/desktop/zolcfg.metainfo.xml.in
                 ${PROJECT_BINARY_DIR}/package/fr.borvane.zolcfg.metainfo.xml @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/fr.borvane.zolcfg.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/${size}x${size}/zolcfg.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()

  # Manual pages, compressed as Debian wants them (no name or time stamp in the gzip header).
  find_program(ZOL_GZIP gzip REQUIRED)
  set(zol_man_pages)
  foreach(page zolcfg zolcfg-demo)
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/package/${page}.1.gz
      COMMAND ${ZOL_GZIP} -9nc ${PROJECT_SOURCE_DIR}/resources/man/${page}.1
              > ${PROJECT_BINARY_DIR}/package/${page}.1.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/resources/man/${page}.1
      VERBATIM)
    list(APPEND zol_man_pages ${PROJECT_BINARY_DIR}/package/${page}.1.gz)
  endforeach()
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/package/changelog.gz
    COMMAND ${ZOL_GZIP} -9nc ${PROJECT_SOURCE_DIR}/resources/desktop/changelog
            > ${PROJECT_BINARY_DIR}/package/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/desktop/changelog
    VERBATIM)
  add_custom_target(zol_man_pages ALL
                    DEPENDS ${zol_man_pages} ${PROJECT_BINARY_DIR}/package/changelog.gz)
  install(FILES ${zol_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/package/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zolcfg)
set(CPACK_PACKAGE_VENDOR Borvane)
set(CPACK_PACKAGE_CONTACT "${ZOL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configurator for the RW8 USB temperature transmitter")
set(CPACK_PACKAGE_DESCRIPTION [=[
The RW8 is a USB temperature transmitter with two alarm relays. zolcfg
finds the instrument, shows its live temperature, relays and LEDs, reads
and writes its alarms, filter and tag, saves and loads parameter files
and unlocks it with its password. zolcfg-demo runs the same windows on
simulated instruments; zolctl sets instruments up from scripts and
production benches.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's platform plugins show the windows; its French translations speak in the standard dialogs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${ZOL_PROJECT_URL}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/resources/desktop/postinst ${PROJECT_SOURCE_DIR}/resources/desktop/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
