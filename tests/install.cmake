# Plugin installation: the plan (every OS), the Linux policy files, the window rows.
find_package(Qt6 REQUIRED COMPONENTS WebSockets)
fieldpost_add_test(tst_policyplan SOURCES tst_policyplan.cpp LIBS fieldpost_install Qt6::Widgets)

if(NOT WIN32)
  fieldpost_add_test(tst_linuxpolicy SOURCES tst_linuxpolicy.cpp LIBS fieldpost_install Qt6::Widgets)
  # The X11 search and activation request, on a private X server.
  find_program(XVFB_RUN xvfb-run)
  if(XVFB_RUN)
    add_test(NAME tst_linuxpolicy_x11 COMMAND ${XVFB_RUN} -a $<TARGET_FILE:tst_linuxpolicy> x11Activation)
    set_tests_properties(tst_linuxpolicy_x11 PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;FIELDPOST_X11_TEST=1")
  endif()
endif()
