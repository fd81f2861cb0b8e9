fieldpost_add_test(tst_describefield SOURCES tst_describefield.cpp LIBS fieldpost_describe Qt6::Widgets)

find_package(Qt6 REQUIRED COMPONENTS WebSockets)
fieldpost_add_test(tst_gateway SOURCES tst_gateway.cpp LIBS fieldpost_window fieldpost_intake Qt6::WebSockets PORT9000)
