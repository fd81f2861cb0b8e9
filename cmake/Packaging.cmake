# Desktop integration and the Debian package (cpack -G DEB); on Windows the
# deployed folder and the installer (WindowsPackaging.cmake).
# The programs install through their own install(TARGETS) rules.
include(${CMAKE_CURRENT_LIST_DIR}/PluginPack.cmake)
if(WIN32 AND MINGW)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsPackaging.cmake)
  return()
endif()
if(NOT UNIX OR APPLE)
  return()
endif()

include(GNUInstallDirs)

# cpack installs what is built instead of first building every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/fieldpost.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/appicon.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps
  RENAME fieldpost.png)
# Desktop sessions start the entries in /etc/xdg/autostart at login, whatever
# the install prefix; the package stages it through DESTDIR.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/fieldpost-autostart.desktop
  DESTINATION /etc/xdg/autostart
  RENAME fieldpost.desktop)
# The unpacked browser extension, for loading it by hand (README: "The plugin"),
# and, when the build packed it, the packed plugin with its update manifest
# (cmake/PluginPack.cmake).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/plugin/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fieldpost/plugin)
if(FIELDPOST_PLUGIN_UPDATES)
  install(DIRECTORY ${FIELDPOST_PLUGIN_UPDATES}/
    DESTINATION ${CMAKE_INSTALL_DATADIR}/fieldpost/plugin-update)
endif()
# The native messaging host for every user, where a policy turns per-user
# hosts off (NativeMessagingUserLevelHosts): the manifest is fieldpost-link's
# own, so it names the host and the plugin's id as the program does.
set(native_host_manifest ${PROJECT_BINARY_DIR}/native-host/${FIELDPOST_NATIVE_HOST_NAME}.json)
add_custom_command(OUTPUT ${native_host_manifest}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/native-host
  COMMAND sh -c "\"$0\" --manifest /usr/bin/fieldpost-link >\"$1\"" $<TARGET_FILE:fieldpost-link> ${native_host_manifest}
  DEPENDS fieldpost-link
  COMMENT "Writing the native messaging host manifest"
  VERBATIM)
add_custom_target(native-host-manifest ALL DEPENDS ${native_host_manifest})
foreach(folder /etc/opt/chrome/native-messaging-hosts /etc/opt/edge/native-messaging-hosts
               /etc/chromium/native-messaging-hosts)
  install(FILES ${native_host_manifest} DESTINATION ${folder})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.Debian
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fieldpost)

set(CPACK_PACKAGE_NAME fieldpost)
set(CPACK_PACKAGE_VENDOR Thornvaleworks)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TCP to browser field gateway in the system tray")
set(CPACK_PACKAGE_DESCRIPTION
  "Fieldpost receives checksummed text lines from Marrowlinker over TCP and fills each one into the chosen field of a web page through its browser plugin, which connects to a local WebSocket server on port 9000.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Absolute destinations (the autostart entry) must land in the staging tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Thornvaleworks")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The Qt 6 runtime the programs link, plus the platform plugins Qt needs to open a window.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6network6 (>= 6.4), qt6-qpa-plugins (>= 6.4), libxcb1")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_STRIP_FILES ON)

include(CPack)
