# The Windows program as it ships: a self-contained folder (what windeployqt
# would lay out) and the NSIS installer made from it.
#   deploy     → <build>/dist: fieldpost.exe, fieldpost-send.exe, fieldpost-link.exe, the DLLs they
#                import, platforms/qwindows.dll, the unpacked plugin in plugin/ and,
#                when the build packed it (PluginPack.cmake), plugin-update/
#   installer  → <build>/Fieldpost-Setup-<version>.exe (needs makensis, Debian: nsis)
include(${CMAKE_CURRENT_LIST_DIR}/WindowsRuntime.cmake)

find_program(FIELDPOST_OBJDUMP NAMES ${CMAKE_OBJDUMP} x86_64-w64-mingw32-objdump REQUIRED)

add_custom_target(deploy ALL
  COMMAND ${CMAKE_COMMAND}
          -D "DIST=${FIELDPOST_DIST}"
          -D "EXECUTABLES=$<TARGET_FILE:fieldpost>;$<TARGET_FILE:fieldpost-send>;$<TARGET_FILE:fieldpost-link>"
          -D "QT_PLUGINS=${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}"
          -D "DLL_DIRS=${FIELDPOST_WINDOWS_DLL_DIRS}"
          -D "OBJDUMP=${FIELDPOST_OBJDUMP}"
          -D "STRIP=${CMAKE_STRIP}"
          -D "PLUGIN=${PROJECT_SOURCE_DIR}/plugin"
          -D "PLUGIN_UPDATES=${FIELDPOST_PLUGIN_UPDATES}"
          -D "FILELIST=${PROJECT_BINARY_DIR}/dist-files.nsh"
          -P ${CMAKE_CURRENT_LIST_DIR}/WindowsDeploy.cmake
  COMMENT "Laying out the Windows program in ${FIELDPOST_DIST}"
  VERBATIM)
add_dependencies(deploy fieldpost fieldpost-send fieldpost-link)
if(FIELDPOST_PLUGIN_UPDATES)
  add_dependencies(deploy plugin-pack)
endif()

find_program(FIELDPOST_MAKENSIS makensis)
if(NOT FIELDPOST_MAKENSIS)
  message(WARNING "makensis not found (Debian: nsis): the Windows installer is not built")
  return()
endif()
# Rebuilt every time, like the folder it packs.
add_custom_target(installer ALL
  COMMAND ${FIELDPOST_MAKENSIS} -V2 -NOCD
          "-DVERSION=${PROJECT_VERSION}" "-DDIST=${FIELDPOST_DIST}" "-DOUTFILE=${FIELDPOST_SETUP}"
          "-DFILELIST=${PROJECT_BINARY_DIR}/dist-files.nsh" "-DNATIVE_HOST=${FIELDPOST_NATIVE_HOST_NAME}"
          ${PROJECT_SOURCE_DIR}/packaging/windows/fieldpost.nsi
  COMMENT "Making ${FIELDPOST_SETUP}"
  VERBATIM)
add_dependencies(installer deploy)
