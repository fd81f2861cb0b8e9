# The packed plugin for the packages. With -DFIELDPOST_PLUGIN_SIGNING_KEY=<the maker's private key>
# the build packs plugin/ with scripts/pack-plugin for FIELDPOST_PLUGIN_UPDATE_URL into
# <build>/plugin-update (fieldpost-<version>.crx and update.xml), and the .deb and the Windows
# folder carry that folder beside the unpacked plugin, for an administrator to copy to a web
# server. Without a key the packages carry the unpacked plugin only.
set(FIELDPOST_PLUGIN_SIGNING_KEY "" CACHE FILEPATH
  "The plugin maker's private key (PEM); when set, the packages also carry the packed plugin")
# The gateway's default update address (install/PluginSource.cpp).
set(FIELDPOST_PLUGIN_UPDATE_URL "https://updates.thornvaleworks.com/fieldpost/update.xml" CACHE STRING
  "The update manifest's address that the packed plugin is built for")
set(FIELDPOST_PLUGIN_UPDATES "")
if(NOT FIELDPOST_PLUGIN_SIGNING_KEY)
  return()
endif()
if(NOT CMAKE_HOST_UNIX)
  message(FATAL_ERROR "FIELDPOST_PLUGIN_SIGNING_KEY: scripts/pack-plugin runs on a Linux host (Debian's chromium)")
endif()
if(NOT EXISTS "${FIELDPOST_PLUGIN_SIGNING_KEY}")
  message(FATAL_ERROR "FIELDPOST_PLUGIN_SIGNING_KEY: no such file: ${FIELDPOST_PLUGIN_SIGNING_KEY}")
endif()

set(FIELDPOST_PLUGIN_UPDATES ${PROJECT_BINARY_DIR}/plugin-update)
file(GLOB_RECURSE plugin_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/plugin/*)
# Emptied first: the folder holds this build's version only, and a changed plugin of an
# unchanged version is packed anew instead of refused.
add_custom_command(OUTPUT ${FIELDPOST_PLUGIN_UPDATES}/update.xml
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${FIELDPOST_PLUGIN_UPDATES}
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/pack-plugin --key ${FIELDPOST_PLUGIN_SIGNING_KEY}
          --update-url ${FIELDPOST_PLUGIN_UPDATE_URL} --out ${FIELDPOST_PLUGIN_UPDATES}
  DEPENDS ${plugin_sources} ${PROJECT_SOURCE_DIR}/scripts/pack-plugin ${FIELDPOST_PLUGIN_SIGNING_KEY}
  COMMENT "Packing the plugin for ${FIELDPOST_PLUGIN_UPDATE_URL}"
  VERBATIM)
add_custom_target(plugin-pack ALL DEPENDS ${FIELDPOST_PLUGIN_UPDATES}/update.xml)
