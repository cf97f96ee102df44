# Reads the DLL's export and import tables and fails on any difference from
# what a viewer expects: five undecorated exports with ordinals 1 to 5 in
# alphabetical order, and imports from KERNEL32.dll and msvcrt.dll only; and
# that the DLL is built for the expected machine (pei-i386 or pei-x86-64).
# Usage: cmake -DOBJDUMP=... -DDLL=... -DFORMAT=pei-i386 -P check_dll_tables.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

set(failures "")

if(NOT FORMAT)
  set(FORMAT pei-i386)
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
  string(REGEX MATCH "file format [^\n]+" found "${dump}")
  list(APPEND failures "${found}, expected file format ${FORMAT}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
string(REPLACE "DLL Name: " "" imports "${imports}")
list(SORT imports)
if(NOT imports STREQUAL "KERNEL32.dll;msvcrt.dll")
  list(APPEND failures "imports are [${imports}], expected [KERNEL32.dll;msvcrt.dll]")
endif()

if(NOT dump MATCHES "Ordinal Base[ \t]+1\n")
  list(APPEND failures "the ordinal base is not 1")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" names_block "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" names "${names_block}")
set(expected "[   0] GetPicture;[   1] GetPictureInfo;[   2] GetPluginInfo;[   3] GetPreview;[   4] IsSupported")
if(NOT names STREQUAL expected)
  list(APPEND failures "exports are [${names}], expected [${expected}]")
endif()

if(failures)
  string(REPLACE ";" "\n  " text "${failures}")
  message(FATAL_ERROR "DLL tables differ:\n  ${text}")
endif()
message(STATUS "DLL tables as expected: ${FORMAT}; ${names}; imports ${imports}")
