# Plugin installation: the plan, the Linux policy files, and the X11 search and activation on a private X server.
fieldpost_add_test(tst_policyplan SOURCES tst_policyplan.cpp LIBS fieldpost_install Qt6::Widgets)
fieldpost_add_test(tst_linuxpolicy SOURCES tst_linuxpolicy.cpp LIBS fieldpost_install Qt6::Widgets)
find_program(XVFB_RUN xvfb-run)
if(XVFB_RUN)
  add_test(NAME tst_linuxpolicy_x11 COMMAND ${XVFB_RUN} -a $<TARGET_FILE:tst_linuxpolicy> x11Activation)
  set_tests_properties(tst_linuxpolicy_x11 PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;FIELDPOST_X11_TEST=1")
endif()
# The link host: its pairing record, its codec, the real fieldpost-link on standard input and output, its registration.
fieldpost_add_test(tst_nativehost SOURCES tst_nativehost.cpp LIBS fieldpost_pairing fieldpost_install Qt6::Widgets)
target_compile_definitions(tst_nativehost PRIVATE FIELDPOST_LINK="$<TARGET_FILE:fieldpost-link>")
add_dependencies(tst_nativehost fieldpost-link)
