# SPDX-License-Identifier: MIT
# ZORCLIENT_SANITIZE=address,undefined or thread: instruments every target of
# ours. The ORB and ACE come uninstrumented from the system.
if(ZORCLIENT_SANITIZE)
  add_compile_options(-fsanitize=${ZORCLIENT_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${ZORCLIENT_SANITIZE})
  if(ZORCLIENT_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

