# Robustness: peers that misbehave, a short soak (scripts/soak runs the long
# one) and a few seconds of every fuzz target. None of them times anything.
find_package(Qt6 REQUIRED COMPONENTS WebSockets)

fieldpost_add_test(tst_hostilepeers SOURCES tst_hostilepeers.cpp
  LIBS fieldpost_intake fieldpost_bridge Qt6::Widgets Qt6::WebSockets TIMEOUT 300)
target_include_directories(tst_hostilepeers PRIVATE ${PROJECT_SOURCE_DIR}/bench)

# The soak is a measurement (bench/, scripts/soak runs a million lines); here a
# short run of it proves that nothing is lost or reordered.
fieldpost_add_test(soak_smoke SOURCES ${PROJECT_SOURCE_DIR}/bench/soak.cpp
  LIBS fieldpost_intake fieldpost_bridge Qt6::Widgets Qt6::WebSockets TIMEOUT 300 ENV FIELDPOST_SOAK_LINES=20000)
target_include_directories(soak_smoke PRIVATE ${PROJECT_SOURCE_DIR}/bench)

# The fuzz targets need clang's libFuzzer; without it this test fails and says
# what to install, rather than being left out.
add_test(NAME fuzz_smoke
  COMMAND ${PROJECT_SOURCE_DIR}/fuzz/run-all.sh ${CMAKE_BINARY_DIR}/fuzz-clang 4)
set_tests_properties(fuzz_smoke PROPERTIES TIMEOUT 900)
