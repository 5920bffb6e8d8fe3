# PE images of native targets for the simulated machine, and their Authenticode signatures.
#
# The build makes its own test certificates (scripts/test-pki.sh, with the openssl command) in
# ${WINSIM_TEST_PKI_DIR}: a test root CA, an intermediate CA and a code-signing certificate (the
# "test" publisher), and an unrelated root with its own code-signing certificate (the "other"
# publisher). Nothing secret is kept in the sources. A machine trusts a root after
# `winsim cert add-root ${WINSIM_TEST_PKI_DIR}/root.pem`.
#
#   winsim_pe_image(<name> TARGET <target> OUTPUT <file> [DLL] [GUI]
#                   [SIGN [PUBLISHER test|other] [CHAIN leaf|intermediate|full]])
#
# wraps the target's file (an executable, or with DLL a shared or module library) in a PE32+ image
# at <file>, and with SIGN signs it with osslsigncode: by default as the test publisher with the
# intermediate CA in the signature; CHAIN leaf leaves the intermediate out, CHAIN full adds the
# root. The custom target <name> builds the image with ALL.

set(WINSIM_TEST_PKI_DIR ${CMAKE_BINARY_DIR}/pki CACHE INTERNAL "The build's test certificates")
set(WINSIM_TEST_PKI_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/../scripts/test-pki.sh)

find_program(WINSIM_OPENSSL_COMMAND openssl)
find_program(WINSIM_OSSLSIGNCODE_COMMAND osslsigncode)

if(NOT TARGET winsim_test_pki)
  add_custom_command(
    OUTPUT ${WINSIM_TEST_PKI_DIR}/.complete
    COMMAND bash ${WINSIM_TEST_PKI_SCRIPT} make ${WINSIM_TEST_PKI_DIR}
    DEPENDS ${WINSIM_TEST_PKI_SCRIPT}
    COMMENT "Making the test certificates"
    VERBATIM)
  add_custom_target(winsim_test_pki DEPENDS ${WINSIM_TEST_PKI_DIR}/.complete)
endif()

function(winsim_pe_image name)
  cmake_parse_arguments(PE "DLL;GUI;SIGN" "TARGET;OUTPUT;PUBLISHER;CHAIN" "" ${ARGN})
  if(NOT PE_TARGET OR NOT PE_OUTPUT)
    message(FATAL_ERROR "winsim_pe_image(${name}): TARGET and OUTPUT are required")
  endif()
  set(wrap_options)
  if(PE_DLL)
    list(APPEND wrap_options --dll)
  endif()
  if(PE_GUI)
    list(APPEND wrap_options --gui)
  endif()
  set(unsigned ${PE_OUTPUT}.unsigned)
  set(commands COMMAND $<TARGET_FILE:winsim_pe> wrap $<TARGET_FILE:${PE_TARGET}> ${unsigned} ${wrap_options})
  set(depends ${PE_TARGET} winsim_pe)
  if(PE_SIGN)
    if(NOT WINSIM_OPENSSL_COMMAND OR NOT WINSIM_OSSLSIGNCODE_COMMAND)
      message(FATAL_ERROR "Signing PE images needs openssl and osslsigncode (scripts/setup.sh installs them)")
    endif()
    if(NOT PE_PUBLISHER)
      set(PE_PUBLISHER test)
    endif()
    if(NOT PE_CHAIN)
      set(PE_CHAIN intermediate)
    endif()
    list(APPEND commands COMMAND bash ${WINSIM_TEST_PKI_SCRIPT} sign ${WINSIM_TEST_PKI_DIR} ${unsigned} ${PE_OUTPUT}
         --publisher ${PE_PUBLISHER} --chain ${PE_CHAIN}
         COMMAND ${CMAKE_COMMAND} -E remove ${unsigned})
    list(APPEND depends winsim_test_pki ${WINSIM_TEST_PKI_DIR}/.complete)
  else()
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E rename ${unsigned} ${PE_OUTPUT})
  endif()
  add_custom_command(OUTPUT ${PE_OUTPUT} ${commands} DEPENDS ${depends}
                     COMMENT "PE image ${PE_OUTPUT}" VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${PE_OUTPUT})
endfunction()
