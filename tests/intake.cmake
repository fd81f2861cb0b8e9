# Product line intake: the framer, the listener on loopback, the sender tool.
fieldpost_add_test(tst_lineframer SOURCES tst_lineframer.cpp ReferenceFramer.h
  LIBS fieldpost_intake Qt6::Widgets TIMEOUT 300)
fieldpost_add_test(tst_tcplistener SOURCES tst_tcplistener.cpp
  LIBS fieldpost_intake Qt6::Widgets TIMEOUT 300)
fieldpost_add_test(tst_fieldpostsend SOURCES tst_fieldpostsend.cpp LIBS fieldpost_intake Qt6::Widgets)
target_compile_definitions(tst_fieldpostsend PRIVATE FIELDPOST_SEND_PATH="$<TARGET_FILE:fieldpost-send>")
add_dependencies(tst_fieldpostsend fieldpost-send)
