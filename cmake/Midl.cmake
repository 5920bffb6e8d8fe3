# The stubs of UtilityServiceRpc for MSVC, from src/rpc/UtilityServiceRpc.idl by the SDK's MIDL:
# fully interpreted stubs for both transfer syntaxes, with correlation checks, the ACF applied.
# The targets carry the names that the winsim build (hand-written stubs) and the MinGW-w64 build
# (widl) give theirs: product code includes "UtilityServiceRpc.h" and links one of the two.
# Object libraries: the server stubs call the manager routines of the library that links them.
set(midl_out ${CMAKE_BINARY_DIR}/generated/rpc)
set(midl_idl ${CMAKE_SOURCE_DIR}/src/rpc/UtilityServiceRpc.idl)
set(midl_acf ${CMAKE_SOURCE_DIR}/src/rpc/UtilityServiceRpc.acf)
add_custom_command(
  OUTPUT ${midl_out}/UtilityServiceRpc.h ${midl_out}/UtilityServiceRpc_s.c ${midl_out}/UtilityServiceRpc_c.c
  COMMAND ${CMAKE_COMMAND} -E make_directory ${midl_out}
  COMMAND midl /nologo /protocol all /robust /target NT100 /env x64 /acf ${midl_acf} /out ${midl_out}
          /h UtilityServiceRpc.h /sstub UtilityServiceRpc_s.c /cstub UtilityServiceRpc_c.c ${midl_idl}
  DEPENDS ${midl_idl} ${midl_acf}
  COMMENT "Making the stubs of UtilityServiceRpc with MIDL"
  VERBATIM)
foreach(side server client)
  if(side STREQUAL "server")
    set(letter s)
  else()
    set(letter c)
  endif()
  add_library(UtilityServiceRpc_${side}_stubs OBJECT ${midl_out}/UtilityServiceRpc_${letter}.c)
  target_include_directories(UtilityServiceRpc_${side}_stubs PUBLIC ${midl_out})
  target_compile_definitions(UtilityServiceRpc_${side}_stubs PUBLIC UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  # The NDR engine, and the BSTR marshalling routines in oleaut32.
  target_link_libraries(UtilityServiceRpc_${side}_stubs PUBLIC rpcrt4 oleaut32)
endforeach()
