# One smoke run of a fuzzer: cmake -DFUZZER=<binary> -DMIN_COV=<n>
# -DARGS=<libFuzzer arguments, |-separated> -P smoke_run.cmake
#
# Passes when the fuzzer ends without a finding and the coverage it reports
# at its end ("cov: N", the code edges its inputs ran) is at least MIN_COV.
# A fuzzer built without coverage of the code under test reaches only the
# few edges of its own file, far below any minimum set here.
string(REPLACE "|" ";" arguments "${ARGS}")
execute_process(COMMAND ${FUZZER} ${arguments} RESULT_VARIABLE status OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
get_filename_component(name ${FUZZER} NAME)
string(REGEX MATCHALL "cov: [0-9]+" reports "${output}")
list(POP_BACK reports last)
string(REGEX REPLACE "cov: " "" cov "${last}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${output}\n${name}: ended with status ${status}")
endif()
if(cov STREQUAL "")
  message(FATAL_ERROR "${output}\n${name}: no coverage reported")
endif()
message(STATUS "${name}: cov: ${cov} (at least ${MIN_COV} expected)")
if(cov LESS MIN_COV)
  message(FATAL_ERROR "${name}: coverage ${cov} is below ${MIN_COV}: is the code under test "
                      "still built with -fsanitize=fuzzer-no-link?")
endif()
