# How product code meets its platform. On Linux that is winsim, whose headers carry the Windows
# names; on Windows it is the platform itself, with its own headers and import libraries.

# The Windows libraries that the product's calls live in.
# shell32: the command-line split and ShellExecuteW; uuid: the published COM class and interface ids;
# userenv: the user's environment block.
set(TORVEX_WINDOWS_LIBRARIES rpcrt4 ole32 oleaut32 advapi32 shlwapi bcrypt wtsapi32 shell32 uuid userenv)

# Gives a product target its platform: winsim's headers and library, or Windows' own.
function(torvex_use_platform target scope)
  if(TORVEX_ON_WINSIM)
    target_link_libraries(${target} ${scope} winsim)
  else()
    target_compile_definitions(${target} ${scope} UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00)
    target_link_libraries(${target} ${scope} ${TORVEX_WINDOWS_LIBRARIES})
  endif()
endfunction()

# A program NAME.exe in the build's bin folder. CONSOLE programs start at wmain, GUI programs at
# wWinMain, as on Windows; on winsim the C runtime start-up of winsim_wmain or winsim_wwinmain calls
# them. MinGW builds link statically, so that the programs need no MinGW DLL beside them.
function(torvex_program name kind)
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES SUFFIX ".exe" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  if(TORVEX_ON_WINSIM)
    if(kind STREQUAL "GUI")
      target_link_libraries(${name} PRIVATE winsim_wwinmain)
    else()
      target_link_libraries(${name} PRIVATE winsim_wmain)
    endif()
  else()
    if(kind STREQUAL "GUI")
      set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE ON)
    endif()
    if(MINGW)
      # wmain and wWinMain are the Unicode entry points; MSVC picks them by itself.
      target_link_options(${name} PRIVATE -municode -static)
    endif()
  endif()
endfunction()
