# The pixel decoder is compiled twice, the second time for a newer processor
# level (SSE2 on 32-bit x86, AVX2 and its companions on x86-64). That second
# object must define nothing but its entry point: any other symbol it shares
# with the first build (an out-of-line copy of an inline function or a
# template) could be the copy the linker keeps for both, and run where the
# processor lacks the newer instructions.
# Usage: cmake -DNM=... -DOBJECTS="a.o;b.o;..." -DENTRY=decode_pixels_avx2 -P check_decoder_builds.cmake
set(second "")
foreach(object IN LISTS OBJECTS)
  if(object MATCHES "pixel_decoder_(sse2|avx2)\\.cpp\\.o(bj)?$")
    set(second "${object}")
  endif()
endforeach()
if(NOT second)
  message(FATAL_ERROR "no second build of the decoder among [${OBJECTS}]")
endif()
execute_process(COMMAND ${NM} --defined-only --extern-only ${second}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} ${second} failed")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(others "")
foreach(line IN LISTS lines)
  # Code only (T, W, i); shared constant data is the same in both builds.
  if(line MATCHES " [TWi] " AND NOT line MATCHES " _?_Z[0-9]+${ENTRY}R")
    list(APPEND others "${line}")
  endif()
endforeach()
if(others)
  string(REPLACE ";" "\n  " others "${others}")
  message(FATAL_ERROR "${second} defines more than ${ENTRY}:\n  ${others}")
endif()
message(STATUS "${second}: only ${ENTRY}")
