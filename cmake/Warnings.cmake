# SPDX-License-Identifier: MIT
# zorclient_warnings(<target>): the warning set every target of ours builds with.
function(zorclient_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion)
  if(ZORCLIENT_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
