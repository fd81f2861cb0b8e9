fieldpost_add_test(tst_mainwindow SOURCES tst_mainwindow.cpp LIBS fieldpost_window PORT9000)
fieldpost_add_test(tst_log SOURCES tst_log.cpp LIBS fieldpost_window PORT9000)

fieldpost_add_test(tst_singleinstance SOURCES tst_singleinstance.cpp LIBS fieldpost_window PORT9000)
target_compile_definitions(tst_singleinstance PRIVATE FIELDPOST_BINARY="$<TARGET_FILE:fieldpost>")
add_dependencies(tst_singleinstance fieldpost)
