# SPDX-License-Identifier: MIT
# zorclient_import_tao(<prefix>): the imported target zorclient::tao for a TAO
# installation under <prefix>, with the ACE that TAO was built with (never
# another ACE). Used by the build and by the installed package alike.
function(zorclient_import_tao prefix)
  if(TARGET zorclient::tao)
    return()
  endif()
  if(NOT prefix OR NOT EXISTS "${prefix}/include/tao/ORB.h" OR NOT EXISTS "${prefix}/include/ace/ACE.h")
    message(FATAL_ERROR "TAO: looked for ${prefix}/include/tao/ORB.h and "
                        "${prefix}/include/ace/ACE.h; set TAO_ROOT to the prefix of a TAO installation")
  endif()
  set(libraries)
  # TAO_Messaging carries the round-trip time-out policy that bounds calls.
  foreach(name TAO_CosNaming TAO_Messaging TAO_PI TAO_CodecFactory TAO_Valuetype
               TAO_PortableServer TAO_AnyTypeCode TAO ACE)
    find_library(zorclient_tao_${name} ${name} PATHS "${prefix}/lib" NO_DEFAULT_PATH)
    if(NOT zorclient_tao_${name})
      message(FATAL_ERROR "TAO: looked for lib${name} in ${prefix}/lib")
    endif()
    list(APPEND libraries "${zorclient_tao_${name}}")
  endforeach()
  add_library(zorclient::tao INTERFACE IMPORTED GLOBAL)
  set_target_properties(zorclient::tao PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${prefix}/include"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${prefix}/include"
    INTERFACE_COMPILE_DEFINITIONS ZORCLIENT_ORB_TAO
    INTERFACE_LINK_LIBRARIES "${libraries}"
    # TAO's libraries carry no run path, and some need others indirectly.
    INTERFACE_LINK_OPTIONS "-Wl,--disable-new-dtags;-Wl,-rpath,${prefix}/lib")
  add_library(zorclient::tao_core INTERFACE IMPORTED GLOBAL)
  set_target_properties(zorclient::tao_core PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${prefix}/include"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${prefix}/include"
    INTERFACE_COMPILE_DEFINITIONS ZORCLIENT_ORB_TAO
    INTERFACE_LINK_LIBRARIES "${zorclient_tao_TAO};${zorclient_tao_ACE}"
    INTERFACE_LINK_OPTIONS "-Wl,--disable-new-dtags;-Wl,-rpath,${prefix}/lib")
endfunction()
