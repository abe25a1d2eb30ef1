# Runs `uactool VERB [ARGS] FILE` (VERB default describe) and checks its exit code against EXPECT (a list;
# default 0 and 1: built or refused by the driver; 2 is a file error, 3 a verifier
# report) and, when given, its output against MATCH.
cmake_minimum_required(VERSION 3.25)
if(NOT DEFINED VERB)
  set(VERB describe)
endif()
if(NOT DEFINED EXPECT)
  set(EXPECT 0 1)
endif()
execute_process(COMMAND ${TOOL} ${VERB} ${ARGS} ${FILE} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT result IN_LIST EXPECT)
  message(FATAL_ERROR "uactool ${VERB} ${FILE}: exit ${result}, expected one of ${EXPECT}")
endif()
if(DEFINED MATCH AND NOT "${out}${err}" MATCHES "${MATCH}")
  message(FATAL_ERROR "uactool ${VERB} ${FILE}: output does not match ${MATCH}")
endif()
