# Writes a gdk-pixbuf loaders cache that lists only the loader MODULE:
#   cmake -DQUERY=gdk-pixbuf-query-loaders -DMODULE=path.so -DOUT=loaders.cache -P loaders_cache.cmake
execute_process(COMMAND ${QUERY} ${MODULE} OUTPUT_VARIABLE cache RESULT_VARIABLE failed)
if(failed OR NOT cache MATCHES "\"image/x-tzf\"")
  message(FATAL_ERROR "${QUERY} did not list ${MODULE}:\n${cache}")
endif()
file(WRITE ${OUT} "${cache}")
