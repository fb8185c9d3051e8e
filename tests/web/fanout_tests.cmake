# The page fanned out through nginx's pub/sub module (scripts/fanout.sh):
# the configuration and the live page with one node, two nodes sharing one
# Redis that goes away and comes back, and nginx stopped and started again
# during a race. Timed to the update like the delayed stream: not in
# sanitized builds.
if(NOT PITWALL_SANITIZE)
  foreach(fanout_case IN ITEMS single redis outage)
    if(fanout_case STREQUAL "single")
      set(fanout_test fanout_in_chromium)
    elseif(fanout_case STREQUAL "redis")
      set(fanout_test fanout_redis_two_nodes)
    else()
      set(fanout_test fanout_outage)
    endif()
    add_test(NAME ${fanout_test}
             COMMAND ${PITWALL_NODE} ${PROJECT_SOURCE_DIR}/tests/web/fanout_e2e.mjs ${fanout_case}
                     $<TARGET_FILE:pitwall-host> $<TARGET_FILE:pitwall> ${PROJECT_SOURCE_DIR}/examples
                     ${CMAKE_BINARY_DIR}/web-screenshots)
    set_tests_properties(${fanout_test} PROPERTIES TIMEOUT 240)
  endforeach()
endif()
