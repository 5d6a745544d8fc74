# SPDX-License-Identifier: MIT
# Fails unless the shared object defines exactly initCorba, getNameService and
# createObject in its dynamic symbol table, each under the version node
# VERSION_NODE (which the table lists too). Run with -DLIBRARY= -DNM= -DVERSION_NODE=
execute_process(COMMAND ${NM} -D --defined-only --with-symbol-versions ${LIBRARY}
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
set(expected "${VERSION_NODE}" "createObject@@${VERSION_NODE}" "getNameService@@${VERSION_NODE}"
             "initCorba@@${VERSION_NODE}")
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}; expected: ${expected}")
endif()
message(STATUS "exported: ${names}")
