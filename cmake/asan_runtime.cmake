# tzf_asan_runtime(VAR): the AddressSanitizer runtime of the compiler in use.
# A module built with -fsanitize=address and loaded into another program
# (ImageMagick, gdk-pixbuf) needs it preloaded there: LD_PRELOAD=${VAR}.
function(tzf_asan_runtime out)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(name libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so)
  else()
    set(name libasan.so)
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${out} ${runtime} PARENT_SCOPE)
endfunction()
