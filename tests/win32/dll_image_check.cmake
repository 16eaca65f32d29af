# Checks the built DLL with objdump: the ".shared" section is shared,
# writable initialised data whose first word (protocolRevision) is 1; the
# export table holds the eight names and nothing else; and the DLL imports
# system DLLs only (the C++ runtime is linked in).
#   cmake -DOBJDUMP=... -DDLL=... -P dll_image_check.cmake
execute_process(COMMAND ${OBJDUMP} -h ${DLL} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -h failed on ${DLL}")
endif()
string(REGEX MATCH "[0-9]+ \\.shared [^\n]*\n[^\n]*" section "${headers}")
if(NOT section)
  message(FATAL_ERROR "no .shared section in ${DLL}")
endif()
if(NOT section MATCHES "CONTENTS, ALLOC, LOAD, DATA, SHARED" OR section MATCHES "READONLY")
  message(FATAL_ERROR ".shared is not shared writable data: ${section}")
endif()

execute_process(COMMAND ${OBJDUMP} -s -j .shared ${DLL} OUTPUT_VARIABLE contents)
if(NOT contents MATCHES "Contents of section \\.shared:\n *[0-9a-f]+ 01000000 ")
  message(FATAL_ERROR ".shared does not start with protocolRevision 1")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE privateHeaders)
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" names "${privateHeaders}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z_@0-9]+" found "${names}")
list(TRANSFORM found REPLACE "^\\[ *[0-9]+\\] " "")
set(expected "USBQZ_CheckWdmStatus;USBQZ_PauseSpeech;USBQZ_ReadByte;USBQZ_ReadyCheck;USBQZ_ResumeSpeech;USBQZ_WriteByte;USBQZ_WriteByteImmediate;USBQZ_WriteString")
if(NOT "${found}" STREQUAL "${expected}")
  message(FATAL_ERROR "unexpected exports: ${found}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${privateHeaders}")
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" import)
  if(NOT import MATCHES "^dll name: (kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
    message(FATAL_ERROR "imports a non-system DLL: ${import}")
  endif()
endforeach()
message(STATUS "${DLL}: .shared shared, 8 exports, imports: ${imports}")
