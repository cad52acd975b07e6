# Installation on Windows, and its installer and portable archive (scripts/package-windows):
# everything in one folder, as windeployqt would lay it out:
#   zolcfg.exe, zolcfg-demo.exe, zolctl.exe        the programs
#   Qt6Core.dll ... and the compiler's runtime    what the Qt DLLs load
#   plugins/platforms/qwindows.dll                the windows platform plugin
#   plugins/styles/qwindowsvistastyle.dll         the style Windows users see
#   translations/qtbase_fr.qm                     Qt's own dialogs in French
#   qt.conf                                       tells Qt those folders
# zolctl.exe carries its runtime and runs alone.
if(TARGET zolcfg)
  install(TARGETS zolcfg zolcfg-demo RUNTIME DESTINATION .)
  # The Qt DLLs and the compiler's runtime DLLs they were built with (the programs themselves
  # link the runtime statically).
  set(zol_qt_dlls)
  foreach(module Core Gui Widgets Network)
    list(APPEND zol_qt_dlls $<TARGET_FILE:Qt6::${module}>)
  endforeach()
  install(FILES ${zol_qt_dlls} DESTINATION .)
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE zol_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${zol_dll}" OR NOT EXISTS "${zol_dll}")
      message(FATAL_ERROR "The compiler's runtime ${dll} is not found (${zol_dll})")
    endif()
    install(FILES ${zol_dll} DESTINATION .)
  endforeach()
  install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION plugins/platforms)
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION plugins/styles)
  install(FILES ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS}/qtbase_fr.qm DESTINATION translations)
  file(WRITE ${PROJECT_BINARY_DIR}/package/qt.conf
       "[Paths]\nPrefix = .\nPlugins = plugins\nTranslations = translations\n")
  install(FILES ${PROJECT_BINARY_DIR}/package/qt.conf DESTINATION .)
  # The DLLs without their symbol tables (a third of their size; the programs are stripped by
  # CPack).
  install(CODE "file(GLOB_RECURSE zol_dlls \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.dll\")
    foreach(dll \${zol_dlls})
      execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded \${dll} RESULT_VARIABLE status)
      if(status)
        message(FATAL_ERROR \"cannot strip \${dll}\")
      endif()
    endforeach()")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/copyright DESTINATION . RENAME COPYRIGHT.txt)

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME zolcfg)
set(CPACK_PACKAGE_VENDOR Borvane)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configurator for the RW8 USB temperature transmitter")
set(CPACK_PACKAGE_FILE_NAME zolcfg-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY ZOLCFG)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY ZOLCFG)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/resources/desktop/copyright)
# Start menu entries: the configurator and its simulation.
set(CPACK_PACKAGE_EXECUTABLES zolcfg "ZOLCFG" zolcfg-demo "ZOLCFG (simulation)")
set(CPACK_NSIS_INSTALLED_ICON_NAME zolcfg.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/resources/zolcfg.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/resources/zolcfg.ico)
set(CPACK_NSIS_DISPLAY_NAME "ZOLCFG ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "ZOLCFG")
set(CPACK_NSIS_URL_INFO_ABOUT "${ZOL_PROJECT_URL}")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A 64-bit installer (NSIS' amd64 stubs) for 64-bit programs: it runs where only 64-bit programs
# do (a 64-bit Wine without its 32-bit half), and installs into "Program Files".
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
