# Writes OUTPUT: the date and time of this build in the form of the compiler's
# __DATE__ ("Jun  7 2026") and __TIME__ ("13:14:35"), local time. Run by the
# build, not at configure time, whenever the executable is linked anew.
string(TIMESTAMP month "%b")
string(TIMESTAMP day "%d")
string(TIMESTAMP year "%Y")
string(TIMESTAMP time "%H:%M:%S")
string(REGEX REPLACE "^0" " " day "${day}")
file(WRITE "${OUTPUT}" "// Generated at build time by app/BuildStamp.cmake.\n#include \"BuildVersion.h\"\n\n"
                       "const char buildStampDate[] = \"${month} ${day} ${year}\";\n"
                       "const char buildStampTime[] = \"${time}\";\n")
