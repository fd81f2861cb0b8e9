# The plugin link: a connection's bytes and the JSON without sockets, then the
# server over loopback against an independent client (QtWebSockets, tests only).
fieldpost_add_test(tst_wsconnection SOURCES tst_wsconnection.cpp LIBS fieldpost_bridge Qt6::Widgets)
fieldpost_add_test(tst_pluginprotocol SOURCES tst_pluginprotocol.cpp LIBS fieldpost_bridge Qt6::Widgets)

find_package(Qt6 COMPONENTS WebSockets)
if(TARGET Qt6::WebSockets)
  fieldpost_add_test(tst_websocketbridge SOURCES tst_websocketbridge.cpp
                     LIBS fieldpost_bridge Qt6::Widgets Qt6::WebSockets)
else()
  message(WARNING "Qt6 WebSockets not found: tst_websocketbridge is not built")
endif()
