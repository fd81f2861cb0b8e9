# A Windows build (scripts/windows-check) runs the window suites, the Win32-layer
# checks and the deployed program with its installer, under wine when
# cross-built. A Linux build makes only the Linux end of the last check.
if(NOT WIN32)
  find_package(Qt6 REQUIRED COMPONENTS WebSockets)
  # Run by the Windows build's CTest (windows_app).
  add_executable(tst_windowsapp win32/tst_windowsapp.cpp)
  target_link_libraries(tst_windowsapp PRIVATE Qt6::Test Qt6::WebSockets fieldpost_intake fieldpost_install)
  target_include_directories(tst_windowsapp PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  include(${PROJECT_SOURCE_DIR}/cmake/WindowsRuntime.cmake)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run)
  string(REPLACE ";" ":" dll_dirs "${FIELDPOST_WINDOWS_DLL_DIRS}")
  # The installation suite's registry case writes HKLM: only in wine's throw-away prefix.
  set(window_env FIELDPOST_WINE_DLL_DIRS=${dll_dirs} FIELDPOST_WRITE_HKLM=1)
endif()

# The link host under wine; its host rows write the user's own pairing record, so only in wine's throw-away prefix.
set(nativehost_env ${window_env})
if(CMAKE_CROSSCOMPILING)
  list(APPEND nativehost_env FIELDPOST_THROWAWAY_PROFILE=1)
endif()
fieldpost_add_test(tst_nativehost SOURCES tst_nativehost.cpp LIBS fieldpost_pairing fieldpost_install Qt6::Widgets
                   ENV ${nativehost_env})
target_compile_definitions(tst_nativehost PRIVATE FIELDPOST_LINK="$<TARGET_FILE:fieldpost-link>")
add_dependencies(tst_nativehost fieldpost-link)

# The Qt-free Win32 layer on its own: process list, window search and activation.
# Static, since it also serves the deployed-program check, which has no MinGW DLLs on its path.
add_executable(tst_winapi win32/tst_winapi.cpp ${PROJECT_SOURCE_DIR}/install/WinApi.cpp)
target_include_directories(tst_winapi PRIVATE ${PROJECT_SOURCE_DIR}/install)
target_link_libraries(tst_winapi PRIVATE user32 shell32 netapi32)
if(MINGW)
  target_link_options(tst_winapi PRIVATE -municode -static)
endif()
add_test(NAME tst_winapi COMMAND tst_winapi)

# The deployed program and its installer, from Linux: needs the Linux build's
# tst_windowsapp (-DFIELDPOST_HOST_BUILD=<that build>).
set(FIELDPOST_HOST_BUILD "" CACHE PATH "A Linux build of this tree, for the black-box check of the Windows program")
if(CMAKE_CROSSCOMPILING AND FIELDPOST_HOST_BUILD)
  add_test(NAME windows_app COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${FIELDPOST_HOST_BUILD}/tests/tst_windowsapp)
  set_tests_properties(windows_app PROPERTIES TIMEOUT 600 ENVIRONMENT
    "FIELDPOST_DIST=${FIELDPOST_DIST};FIELDPOST_SETUP=${FIELDPOST_SETUP};FIELDPOST_WINAPI=$<TARGET_FILE:tst_winapi>;FIELDPOST_SEND=$<TARGET_FILE:fieldpost-send>")
endif()
