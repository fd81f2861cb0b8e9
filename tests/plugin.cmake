# Browser tests of the extension: node's test runner drives Debian's Chromium
# through playwright-core (tests/plugin/package.json). Every suite talks on the
# fixed port 9000, so all of them hold the port9000 lock.
find_program(FIELDPOST_NODE node)
set(plugin_tmp ${CMAKE_CURRENT_BINARY_DIR}/plugin-tmp)
file(MAKE_DIRECTORY ${plugin_tmp})
if(NOT FIELDPOST_NODE)
  message(WARNING "node not found: the extension tests will fail (install nodejs and npm, then npm ci in tests/plugin)")
  set(FIELDPOST_NODE node)
endif()

function(fieldpost_add_plugin_test name file timeout)
  add_test(NAME ${name}
           COMMAND ${FIELDPOST_NODE} --test --test-concurrency=1 suites/${file}
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/plugin)
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "TMPDIR=${plugin_tmp};XDG_DATA_HOME=${plugin_tmp}/data;PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1;\
FIELDPOST_APP=$<TARGET_FILE:fieldpost>;FIELDPOST_SEND=$<TARGET_FILE:fieldpost-send>"
    RESOURCE_LOCK port9000
    TIMEOUT ${timeout}
    LABELS plugin)
endfunction()

fieldpost_add_plugin_test(plugin_page page.test.mjs 300)
fieldpost_add_plugin_test(plugin_e2e e2e.test.mjs 300)
