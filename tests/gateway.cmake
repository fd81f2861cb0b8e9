find_package(Qt6 REQUIRED COMPONENTS WebSockets)
fieldpost_add_test(tst_gateway SOURCES tst_gateway.cpp LIBS fieldpost_window fieldpost_intake Qt6::WebSockets PORT9000)
