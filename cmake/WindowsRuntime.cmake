# Where the DLLs of a MinGW build of the gateway live: the Windows Qt's bin
# folder and the MinGW runtime (libstdc++, libgcc_s, libwinpthread); and where
# the deploy and installer targets put the program as it ships.

set(FIELDPOST_DIST ${PROJECT_BINARY_DIR}/dist)
set(FIELDPOST_SETUP ${PROJECT_BINARY_DIR}/Fieldpost-Setup-${PROJECT_VERSION}.exe)

set(FIELDPOST_WINDOWS_DLL_DIRS "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${dll} not found next to ${CMAKE_CXX_COMPILER} (Debian: g++-mingw-w64-x86-64-posix)")
  endif()
  get_filename_component(dir "${path}" DIRECTORY)
  get_filename_component(dir "${dir}" REALPATH)
  list(APPEND FIELDPOST_WINDOWS_DLL_DIRS "${dir}")
endforeach()
list(REMOVE_DUPLICATES FIELDPOST_WINDOWS_DLL_DIRS)
