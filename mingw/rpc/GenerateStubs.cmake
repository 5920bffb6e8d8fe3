# Makes the MinGW build's stubs of UtilityServiceRpc from its IDL with Debian's widl (7.0), which
# cannot take the whole declaration:
# - it rejects [callback] ("syntax error, unexpected tCALLBACK"), so it reads a copy of the IDL
#   without the callback's declaration; the callback's stubs are written by hand from the NDR
#   format (MeteringTick_s.c, MeteringTick_c.c) and joined to widl's output here;
# - its ACF grammar rejects context_handle_noserialize, so the ACF is not given to it; instead the
#   context-handle flags of widl's format strings get NDR_CONTEXT_HANDLE_NOSERIALIZE (0x04), which is
#   what that attribute puts there, for every context handle that comes in (a creating procedure is
#   serialised in any case).
# Every edit of widl's output checks that it found what it expects, so that another widl fails the
# build instead of giving stubs that differ silently.
#
# Arguments: WIDL, IDL, ACF, IMPORT_DIR (the stand-in oaidl.idl), SOURCE_DIR (the hand-written
# parts), OUTPUT_DIR.
cmake_minimum_required(VERSION 3.25)

file(READ "${IDL}" idl)
file(READ "${ACF}" acf)

# The ACF must say only what is carried over below.
string(REGEX REPLACE "//[^\n]*" "" acf_code "${acf}")
string(REGEX REPLACE "[ \t\r\n]+" " " acf_code "${acf_code}")
string(STRIP "${acf_code}" acf_code)
set(expected_acf "interface UtilityServiceRpc { typedef [context_handle_noserialize] UTILITY_CONTEXT_HANDLE; }")
if(NOT acf_code STREQUAL expected_acf)
  message(FATAL_ERROR "The ACF says more than the MinGW stubs carry over: [${acf_code}]")
endif()

# The callback's declaration, which must be the one that MeteringTick_s.c and MeteringTick_c.c
# implement: callback number 0, two [in] hypers.
string(REGEX MATCHALL "\\[callback\\][^;]*\\)" callbacks "${idl}")
list(LENGTH callbacks callback_count)
if(NOT callback_count EQUAL 1)
  message(FATAL_ERROR "Expected one [callback] declaration in ${IDL}, found ${callback_count}")
endif()
string(REGEX REPLACE "[ \t\r\n]+" " " callback "${callbacks}")
if(NOT callback STREQUAL "[callback] void MeteringTick( [in] hyper tickCount, [in] hyper callerValue)")
  message(FATAL_ERROR "The callback's declaration changed; update the hand-written callback stubs: ${callback}")
endif()
string(REGEX REPLACE "\\[callback\\][^;]*;" "" idl_for_widl "${idl}")

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
set(base UtilityServiceRpcWidl)
file(WRITE "${OUTPUT_DIR}/${base}.idl" "${idl_for_widl}")
execute_process(
  COMMAND "${WIDL}" --nostdinc -I "${IMPORT_DIR}" -m64 -Oicf -h -s -c -o ${base} ${base}.idl
  WORKING_DIRECTORY "${OUTPUT_DIR}"
  RESULT_VARIABLE widl_result)
if(NOT widl_result EQUAL 0)
  message(FATAL_ERROR "widl failed on ${OUTPUT_DIR}/${base}.idl")
endif()

# Adds NOSERIALIZE to the flags byte after each FC_BIND_CONTEXT whose handle comes in:
# 0x41 (in, cannot be null) and 0xe0 (in, out, via pointer); 0xa0 (out, via pointer) creates one.
function(add_noserialize file)
  file(READ "${file}" text)
  set(marker "0x30,[ \t]*/\\* FC_BIND_CONTEXT \\*/[ \t]*\n[ \t]*")
  string(REGEX MATCHALL "FC_BIND_CONTEXT" all "${text}")
  string(REGEX REPLACE "(${marker})0x41," "\\10x45," text "${text}")
  string(REGEX REPLACE "(${marker})0xe0," "\\10xe4," text "${text}")
  string(REGEX MATCHALL "${marker}0x(45|e4|a0)," known "${text}")
  list(LENGTH all all_count)
  list(LENGTH known known_count)
  if(all_count EQUAL 0 OR NOT all_count EQUAL known_count)
    message(FATAL_ERROR "${file}: context-handle flags that this script does not know")
  endif()
  file(WRITE "${file}" "${text}")
endfunction()
add_noserialize("${OUTPUT_DIR}/${base}_s.c")
add_noserialize("${OUTPUT_DIR}/${base}_c.c")

# The client interface carries the callback's dispatch table and its interpreter information,
# through which the client's run-time runs MeteringTick when the server calls back.
file(READ "${OUTPUT_DIR}/${base}_c.c" client)
set(ndr20 "\\{\\{0x8a885d04,0x1ceb,0x11c9,\\{0x9f,0xe8,0x08,0x00,0x2b,0x10,0x48,0x60\\}\\},\\{2,0\\}\\},")
set(empty_tail "[ \t\n]*0,[ \t\n]*0,[ \t\n]*0,[ \t\n]*0,[ \t\n]*0,[ \t\n]*0,[ \t\n]*\\};")
# (Counted by replacing, since CMake lists cannot hold the matched text's semicolons.)
string(REGEX REPLACE "${ndr20}${empty_tail}" "@" marked "${client}")
string(REGEX MATCHALL "@" tails "${marked}")
string(REGEX MATCHALL "@" ats "${client}")
list(LENGTH tails tail_count)
list(LENGTH ats at_count)
math(EXPR tail_count "${tail_count} - ${at_count}")
if(NOT tail_count EQUAL 1)
  message(FATAL_ERROR "widl's client interface is not laid out as expected")
endif()
string(REGEX REPLACE "(${ndr20})${empty_tail}"
  "\\1\n    &UtilityServiceRpc_CallbackDispatchTable,\n    0,\n    0,\n    0,\n    &UtilityServiceRpc_CallbackServerInfo,\n    RPCFLG_HAS_CALLBACK,\n};"
  client "${client}")
string(REPLACE "static const RPC_CLIENT_INTERFACE UtilityServiceRpc___RpcClientInterface"
  "static RPC_DISPATCH_TABLE UtilityServiceRpc_CallbackDispatchTable;\nstatic const MIDL_SERVER_INFO UtilityServiceRpc_CallbackServerInfo;\n\nstatic const RPC_CLIENT_INTERFACE UtilityServiceRpc___RpcClientInterface"
  client "${client}")
file(WRITE "${OUTPUT_DIR}/${base}_c.c" "${client}")

# One translation unit per side: widl's stubs, then the callback's, which use widl's stub
# descriptors as MIDL's own callback stubs do.
file(WRITE "${OUTPUT_DIR}/UtilityServiceRpc_s.c"
  "/* Made by GenerateStubs.cmake: widl's server stubs and the callback's server side. */\n"
  "#include \"${base}_s.c\"\n#include \"${SOURCE_DIR}/MeteringTick_s.c\"\n")
file(WRITE "${OUTPUT_DIR}/UtilityServiceRpc_c.c"
  "/* Made by GenerateStubs.cmake: widl's client stubs and the callback's client side. */\n"
  "#include \"${base}_c.c\"\n#include \"${SOURCE_DIR}/MeteringTick_c.c\"\n")
