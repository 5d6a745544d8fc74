# SPDX-License-Identifier: MIT
# Fails unless the shared object defines exactly initCorba, getNameService and
# createObject in its dynamic symbol table. Run with -DLIBRARY=... -DNM=...
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
if(NOT names STREQUAL "createObject;getNameService;initCorba")
  message(FATAL_ERROR "exported: ${names}")
endif()
message(STATUS "exported: ${names}")
