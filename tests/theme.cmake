find_package(Qt6 REQUIRED COMPONENTS WebSockets)

fieldpost_add_test(tst_theme SOURCES tst_theme.cpp LIBS fieldpost_window)
# Builds a MainWindow, which binds the WebSocket port.
fieldpost_add_test(tst_tray SOURCES tst_tray.cpp LIBS fieldpost_window Qt6::WebSockets PORT9000)

# The Debian package: built with cpack from this build tree, then its file
# list checked. Exit code 77 (no dpkg-deb here) counts as skipped.
if(UNIX AND NOT APPLE)
  add_test(NAME package_deb
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/package-check ${PROJECT_BINARY_DIR})
  set_tests_properties(package_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RESOURCE_LOCK cpack)
endif()
