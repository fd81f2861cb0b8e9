# The Windows side. A Windows build (scripts/windows-check cross-builds one with
# MinGW and the Qt of scripts/windows-sdk) builds the suites listed here and
# runs them, the Win32-layer checks, the deployed program and its installer,
# under wine when cross-built (scripts/wine-run: a fresh prefix per test).
# The Linux build makes only the Linux end of the deployed-program check.

# The suites that run on Windows too; each is <name>.cpp over the window library.
set(FIELDPOST_WINDOWS_SUITES tst_mainwindow tst_gateway tst_singleinstance tst_tray tst_installwindow)

if(NOT WIN32)
  find_package(Qt6 REQUIRED COMPONENTS WebSockets)
  # Started by the Windows build's CTest (test windows_app), not by this one.
  add_executable(tst_windowsapp win32/tst_windowsapp.cpp)
  target_link_libraries(tst_windowsapp PRIVATE Qt6::Test Qt6::WebSockets fieldpost_intake)
  return()
endif()

set(windows_env "")
if(CMAKE_CROSSCOMPILING)
  include(${PROJECT_SOURCE_DIR}/cmake/WindowsRuntime.cmake)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run)
  string(REPLACE ";" ":" dll_dirs "${FIELDPOST_WINDOWS_DLL_DIRS}")
  # The installation suite's registry case writes HKLM: only in wine's throw-away prefix.
  set(windows_env FIELDPOST_WINE_DLL_DIRS=${dll_dirs} FIELDPOST_WRITE_HKLM=1)
endif()

find_package(Qt6 QUIET COMPONENTS WebSockets)
foreach(suite IN LISTS FIELDPOST_WINDOWS_SUITES)
  fieldpost_add_test(${suite} SOURCES ${suite}.cpp PluginSocket.h LIBS fieldpost_window PORT9000 ENV ${windows_env})
  target_compile_definitions(${suite} PRIVATE FIELDPOST_BINARY="$<TARGET_FILE:fieldpost>")
  if(TARGET Qt6::WebSockets)
    target_link_libraries(${suite} PRIVATE Qt6::WebSockets)
  else()
    target_compile_definitions(${suite} PRIVATE FIELDPOST_OWN_WEBSOCKET_CLIENT)
  endif()
endforeach()

# The Qt-free Win32 layer on its own: process list, window search and activation.
add_executable(tst_winapi win32/tst_winapi.cpp ${PROJECT_SOURCE_DIR}/install/WinApi.cpp)
target_include_directories(tst_winapi PRIVATE ${PROJECT_SOURCE_DIR}/install)
target_link_libraries(tst_winapi PRIVATE user32 shell32)
if(MINGW)
  target_link_options(tst_winapi PRIVATE -municode)
endif()
add_test(NAME tst_winapi COMMAND tst_winapi)
set_tests_properties(tst_winapi PROPERTIES ENVIRONMENT "${windows_env}")

# The deployed program and its installer, black-box from Linux. Needs the Linux
# build's fieldpost-send and tst_windowsapp: -DFIELDPOST_HOST_BUILD=<that build>.
add_executable(shownwindow win32/shownwindow.cpp)
target_link_libraries(shownwindow PRIVATE user32)
if(MINGW)
  # Static: it runs from the build tree, where no MinGW DLLs are on the path.
  target_link_options(shownwindow PRIVATE -municode -static)
endif()
set(FIELDPOST_HOST_BUILD "" CACHE PATH "A Linux build of this tree, for the black-box check of the Windows program")
if(CMAKE_CROSSCOMPILING AND FIELDPOST_HOST_BUILD)
  add_test(NAME windows_app COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${FIELDPOST_HOST_BUILD}/tests/tst_windowsapp)
  set_tests_properties(windows_app PROPERTIES RESOURCE_LOCK port9000 TIMEOUT 600 ENVIRONMENT
    "FIELDPOST_DIST=${FIELDPOST_DIST};FIELDPOST_SETUP=${FIELDPOST_SETUP};FIELDPOST_SHOWN=$<TARGET_FILE:shownwindow>;FIELDPOST_SEND=${FIELDPOST_HOST_BUILD}/tools/fieldpost-send")
elseif(CMAKE_CROSSCOMPILING)
  message(STATUS "FIELDPOST_HOST_BUILD not set: the deployed program and the installer are not checked")
endif()
