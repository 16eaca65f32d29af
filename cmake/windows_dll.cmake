# Finishes the MinGW-built DLL for shipping:
#  - import libraries for both toolchains, made by dlltool (MinGW, .dll.a) and
#    llvm-dlltool (MSVC-style, .lib) from the export definitions. On i386 the
#    header's functions are __stdcall, so callers ask for decorated names
#    (_USBQZ_WriteByte@4); each name in the .def is given the decoration the
#    compiler gave its function (read from the DLL's symbol table) and the
#    libraries are made with --kill-at, so they map the decorated names onto
#    the DLL's undecorated exports;
#  - the debug information copied to DLL.debug, the DLL stripped and linked to
#    that file by name (debuggers look for it beside the DLL).
#   cmake -DDLL= -DDEF= -DMACHINE=i386|i386:x86-64 -DNM= -DDLLTOOL= -DLLVM_DLLTOOL=
#         -DOBJCOPY= -DSTRIP= -DIMPLIB= -DLIB= -P windows_dll.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

get_filename_component(dllName "${DLL}" NAME)
get_filename_component(implibDir "${IMPLIB}" DIRECTORY)
set(importDef "${implibDir}/qzusbd-import.def")

run(${NM} "${DLL}")
set(symbols "${out}")
file(STRINGS "${DEF}" lines)
set(text "LIBRARY ${dllName}\nEXPORTS\n")
set(inExports FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^EXPORTS")
    set(inExports TRUE)
  elseif(inExports AND line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)(=([A-Za-z_][A-Za-z0-9_]*))?[ \t]+(@[0-9]+)")
    set(name "${CMAKE_MATCH_1}")
    set(function "${CMAKE_MATCH_3}")
    set(ordinal "${CMAKE_MATCH_4}")
    if(NOT function)
      set(function "${name}")
    endif()
    if(MACHINE STREQUAL "i386")
      if(NOT symbols MATCHES " T _${function}(@[0-9]+)\n")
        message(FATAL_ERROR "${DLL} has no __stdcall symbol for ${function}")
      endif()
      string(APPEND name "${CMAKE_MATCH_1}")
    endif()
    string(APPEND text "  ${name} ${ordinal}\n")
  endif()
endforeach()
if(NOT text MATCHES "\n  [A-Za-z_]")
  message(FATAL_ERROR "no exports read from ${DEF}")
endif()
file(WRITE "${importDef}" "${text}")

run(${DLLTOOL} --kill-at -d "${importDef}" -D "${dllName}" -l "${IMPLIB}")
run(${LLVM_DLLTOOL} -k -m ${MACHINE} -d "${importDef}" -D "${dllName}" -l "${LIB}")

get_filename_component(dllDir "${DLL}" DIRECTORY)
run(${OBJCOPY} --only-keep-debug "${DLL}" "${DLL}.debug")
run(${STRIP} --strip-all "${DLL}")
# The link records the file's name only; run beside it.
execute_process(COMMAND ${OBJCOPY} --add-gnu-debuglink=${dllName}.debug ${dllName}
  WORKING_DIRECTORY "${dllDir}" RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "adding the debug link to ${DLL} failed: ${err}")
endif()
