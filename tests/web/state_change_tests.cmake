# The change form applied in node on made-up states: no server, no timing.
add_test(NAME web_state_change
         COMMAND ${PITWALL_NODE} ${PROJECT_SOURCE_DIR}/tests/web/state_change_test.mjs)
set_tests_properties(web_state_change PROPERTIES TIMEOUT 60)
# The page's status words against the kStatus... constants of the bridge's
# and the web view's headers: a word changed on one side only fails.
add_test(NAME web_status_words
         COMMAND ${PITWALL_NODE} ${PROJECT_SOURCE_DIR}/tests/web/status_words_test.mjs)
set_tests_properties(web_status_words PROPERTIES TIMEOUT 60)
# End to end: changes applied in node against the web view's own whole
# states at every publication both streams carry, a viewer that misses one
# and comes back through api/state, and the page under a proxy's sub-path.
# It reads a live race at the host's pace and holds a delayed page to 2 s:
# not in sanitized builds, too slow for that.
if(NOT PITWALL_SANITIZE)
  add_test(NAME web_state_change_in_chromium
           COMMAND ${PITWALL_NODE} ${PROJECT_SOURCE_DIR}/tests/web/state_change_e2e.mjs
                   $<TARGET_FILE:pitwall-host> $<TARGET_FILE:pitwall> ${PROJECT_SOURCE_DIR}/examples
                   ${CMAKE_BINARY_DIR}/web-screenshots)
  set_tests_properties(web_state_change_in_chromium PROPERTIES TIMEOUT 240)
endif()
