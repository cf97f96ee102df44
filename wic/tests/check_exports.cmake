# Fails unless tzfwic.dll exports exactly the four entry points of a COM
# in-process server, undecorated (also on x86).
# Usage: cmake -DOBJDUMP=... -DDLL=... -P check_exports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" names_block "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" names "${names_block}")
set(expected "[   0] DllCanUnloadNow;[   1] DllGetClassObject;[   2] DllRegisterServer;[   3] DllUnregisterServer")
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports are [${names}], expected [${expected}]")
endif()
message(STATUS "tzfwic.dll exports ${names}")
