# The intake and the plugin link: sans-I/O parts, servers over loopback (against QtWebSockets, tests only),
# misbehaving peers, a short soak (scripts/soak runs the long one) and a few seconds of every fuzz target.
find_package(Qt6 REQUIRED COMPONENTS WebSockets)
foreach(suite tst_lineframer tst_tcplistener tst_fieldpostsend tst_wsconnection tst_pluginprotocol tst_websocketbridge
        tst_hostilepeers)
  fieldpost_add_test(${suite} SOURCES ${suite}.cpp TIMEOUT 300
    LIBS fieldpost_intake fieldpost_bridge fieldpost_gateway Qt6::Widgets Qt6::WebSockets)
endforeach()
fieldpost_add_test(tst_procnettcp SOURCES tst_procnettcp.cpp LIBS fieldpost_intake Qt6::Widgets)
target_compile_definitions(tst_fieldpostsend PRIVATE FIELDPOST_SEND_PATH="$<TARGET_FILE:fieldpost-send>")
add_dependencies(tst_fieldpostsend fieldpost-send)
fieldpost_add_test(soak_smoke SOURCES ${PROJECT_SOURCE_DIR}/bench/soak.cpp TIMEOUT 300 ENV FIELDPOST_SOAK_LINES=20000
  LIBS fieldpost_intake fieldpost_bridge Qt6::Widgets Qt6::WebSockets)
target_include_directories(tst_hostilepeers PRIVATE ${PROJECT_SOURCE_DIR}/bench)
target_include_directories(soak_smoke PRIVATE ${PROJECT_SOURCE_DIR}/bench)

# Without clang's libFuzzer this fails and says what to install, rather than being left out.
add_test(NAME fuzz_smoke COMMAND ${PROJECT_SOURCE_DIR}/scripts/fuzz 4)
set_tests_properties(fuzz_smoke PROPERTIES TIMEOUT 900
  ENVIRONMENT "FIELDPOST_FUZZ_NO_DEPS=1;FIELDPOST_FUZZ_BUILD=${CMAKE_BINARY_DIR}/fuzz-clang")
