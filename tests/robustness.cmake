# Robustness: peers that misbehave, a short soak (scripts/soak runs the long
# one) and a few seconds of every fuzz target. None of them times anything.
find_package(Qt6 REQUIRED COMPONENTS WebSockets)

fieldpost_add_test(tst_hostilepeers SOURCES tst_hostilepeers.cpp GatewayRig.h
  LIBS fieldpost_intake fieldpost_bridge Qt6::Widgets Qt6::WebSockets TIMEOUT 300)

# 100,000 lines here; scripts/soak sets FIELDPOST_SOAK_LINES to a million.
fieldpost_add_test(tst_soak SOURCES tst_soak.cpp GatewayRig.h
  LIBS fieldpost_intake fieldpost_bridge Qt6::Widgets Qt6::WebSockets TIMEOUT 300)

# The fuzz targets need clang's libFuzzer; without it this test fails and says
# what to install, rather than being left out.
add_test(NAME fuzz_smoke
  COMMAND ${PROJECT_SOURCE_DIR}/fuzz/run-all.sh ${CMAKE_BINARY_DIR}/fuzz-clang 4)
set_tests_properties(fuzz_smoke PROPERTIES TIMEOUT 900)
