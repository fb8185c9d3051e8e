# The change form applied in node on made-up states: no server, no timing.
add_test(NAME web_state_change
         COMMAND ${PITWALL_NODE} ${PROJECT_SOURCE_DIR}/tests/web/state_change_test.mjs)
set_tests_properties(web_state_change PROPERTIES TIMEOUT 60)
