execute_process(COMMAND git -C ${SRC} rev-parse --short=7 HEAD
  OUTPUT_VARIABLE rev OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR rev STREQUAL "")
  set(rev "unknown")
endif()
execute_process(COMMAND git -C ${SRC} status --porcelain --untracked-files=no
  OUTPUT_VARIABLE dirty OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT dirty STREQUAL "")
  set(rev "${rev}+")
endif()
string(TIMESTAMP date "%Y-%m-%d")
set(text "#pragma once\n#define ZQ_RELEASE \"${RELEASE}\"\n#define ZQ_REVISION \"${rev}\"\n#define ZQ_BUILD_DATE \"${date}\"\n")
file(CONFIGURE OUTPUT ${OUT}.tmp CONTENT "${text}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}.tmp ${OUT})
