# Browser tests of the extension: node's test runner drives Debian's Chromium through
# playwright-core. The browsers find their gateway through the real native host (FIELDPOST_LINK);
# the end-to-end suite squats port 9000 when it is free, as another user's program would.
find_program(FIELDPOST_NODE node)
if(NOT FIELDPOST_NODE)
  message(WARNING "node not found: the extension tests will fail (install nodejs and npm, then npm ci in tests/plugin)")
endif()
set(plugin_tmp ${CMAKE_CURRENT_BINARY_DIR}/plugin-tmp)
file(MAKE_DIRECTORY ${plugin_tmp})
set(plugin_env "TMPDIR=${plugin_tmp};XDG_DATA_HOME=${plugin_tmp}/data;PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1;\
FIELDPOST_APP=$<TARGET_FILE:fieldpost>;FIELDPOST_SEND=$<TARGET_FILE:fieldpost-send>;\
FIELDPOST_LINK=$<TARGET_FILE:fieldpost-link>")
# The policy round trip and the allowed pages write Chromium's machine-wide policy folder, which
# every Chromium on the machine reads: a force-install entry there reaches the browsers of the other
# suites too, and takes their plugin away mid-test. So every suite holds the machine's Chromium lock,
# shared while it only runs browsers and alone while it writes the policy, in this run and any other.
find_program(FIELDPOST_FLOCK flock REQUIRED)
foreach(suite page fields link e2e forms)
  add_test(NAME plugin_${suite} COMMAND ${FIELDPOST_FLOCK} --shared /tmp/fieldpost-chromium.lock
           ${FIELDPOST_NODE} --test --test-concurrency=1 suites/${suite}.test.mjs
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/plugin)
  set_tests_properties(plugin_${suite} PROPERTIES ENVIRONMENT "${plugin_env}" TIMEOUT 300 LABELS plugin)
endforeach()
foreach(suite install allowed)
  add_test(NAME plugin_${suite} COMMAND ${FIELDPOST_FLOCK} --exclusive /tmp/fieldpost-chromium.lock
           ${FIELDPOST_NODE} --test --test-concurrency=1 suites/${suite}.test.mjs
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/plugin)
  set_tests_properties(plugin_${suite} PROPERTIES ENVIRONMENT "${plugin_env}" TIMEOUT 600 LABELS plugin)
endforeach()
