# Lays out the self-contained Windows folder (cmake -P, run by the deploy
# target): the programs, every DLL they import from the Qt and MinGW folders
# (followed through objdump, DLL by DLL), the platform plug-in Qt loads at run
# time (the gateway, fieldpost-send and the link host fieldpost-link, which
# the gateway finds beside itself), the unpacked browser plugin and, when PLUGIN_UPDATES names a folder, the
# packed plugin with its update manifest. Also writes the NSIS lines that remove
# exactly these files again.
cmake_minimum_required(VERSION 3.25)

foreach(var DIST EXECUTABLES QT_PLUGINS DLL_DIRS OBJDUMP STRIP PLUGIN FILELIST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "WindowsDeploy.cmake needs -D${var}=…")
  endif()
endforeach()

file(REMOVE_RECURSE "${DIST}")
file(MAKE_DIRECTORY "${DIST}/platforms")
file(COPY ${EXECUTABLES} DESTINATION "${DIST}")
file(COPY "${QT_PLUGINS}/platforms/qwindows.dll" DESTINATION "${DIST}/platforms")
file(COPY "${PLUGIN}/" DESTINATION "${DIST}/plugin")
if(PLUGIN_UPDATES)
  file(COPY "${PLUGIN_UPDATES}/" DESTINATION "${DIST}/plugin-update")
endif()

# Follow the imports; a DLL found in none of the folders is the system's.
set(pending ${EXECUTABLES} "${QT_PLUGINS}/platforms/qwindows.dll")
set(seen "")
while(pending)
  list(POP_FRONT pending binary)
  execute_process(COMMAND "${OBJDUMP}" -p "${binary}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} -p ${binary} failed")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
  foreach(line IN LISTS imports)
    string(REGEX REPLACE "DLL Name: " "" dll "${line}")
    string(TOLOWER "${dll}" key)
    if(key IN_LIST seen)
      continue()
    endif()
    list(APPEND seen "${key}")
    foreach(dir IN LISTS DLL_DIRS)
      if(EXISTS "${dir}/${dll}")
        file(COPY "${dir}/${dll}" DESTINATION "${DIST}")
        list(APPEND pending "${dir}/${dll}")
        break()
      endif()
    endforeach()
    if(NOT EXISTS "${DIST}/${dll}" AND dll MATCHES "^(Qt6|lib)")
      message(FATAL_ERROR "${binary} imports ${dll}, which is in none of: ${DLL_DIRS}")
    endif()
  endforeach()
endwhile()

# The MinGW runtime comes with its debugging symbols (libstdc++ alone is 23 MB).
file(GLOB binaries "${DIST}/*.dll" "${DIST}/*.exe")
execute_process(COMMAND "${STRIP}" --strip-unneeded ${binaries} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${STRIP} failed")
endif()

# The uninstaller's list: every file, then the folders deepest first.
file(GLOB_RECURSE files RELATIVE "${DIST}" LIST_DIRECTORIES true "${DIST}/*")
set(deletes "")
set(dirs "")
foreach(entry IN LISTS files)
  string(REPLACE "/" "\\" windows "${entry}")
  if(IS_DIRECTORY "${DIST}/${entry}")
    list(PREPEND dirs "RMDir \"$INSTDIR\\${windows}\"")
  else()
    list(APPEND deletes "Delete \"$INSTDIR\\${windows}\"")
  endif()
endforeach()
list(SORT dirs ORDER DESCENDING)
string(REPLACE ";" "\n" deletes "${deletes}")
string(REPLACE ";" "\n" dirs "${dirs}")
file(WRITE "${FILELIST}" "${deletes}\n${dirs}\n")
list(LENGTH files count)
message(STATUS "Windows folder: ${DIST} (${count} files and folders)")
