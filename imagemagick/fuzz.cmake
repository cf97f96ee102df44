# The ImageMagick coder module's reading and writing through BlobToImage and
# ImageToBlob, the module's source compiled in; MagickCore itself is not
# instrumented. Included by fuzz/CMakeLists.txt.
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(TZF_FUZZ_MAGICKCORE MagickCore-6.Q16)
endif()
if(TZF_FUZZ_MAGICKCORE_FOUND)
  add_executable(fuzz_magick ${CMAKE_SOURCE_DIR}/imagemagick/fuzz_magick.cpp
                             ${CMAKE_SOURCE_DIR}/imagemagick/tzf.cpp)
  target_compile_options(fuzz_magick PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_magick PRIVATE -fsanitize=fuzzer)
  # MagickCore's definitions and headers, without its OpenMP flag: nothing
  # here runs in parallel.
  foreach(flag ${TZF_FUZZ_MAGICKCORE_CFLAGS_OTHER})
    if(flag MATCHES "^-D")
      string(SUBSTRING "${flag}" 2 -1 definition)
      target_compile_definitions(fuzz_magick PRIVATE ${definition})
    endif()
  endforeach()
  target_include_directories(fuzz_magick SYSTEM PRIVATE ${TZF_FUZZ_MAGICKCORE_INCLUDE_DIRS})
  target_include_directories(fuzz_magick PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_directories(fuzz_magick PRIVATE ${TZF_FUZZ_MAGICKCORE_LIBRARY_DIRS})
  target_link_libraries(fuzz_magick PRIVATE tzf_static ${TZF_FUZZ_MAGICKCORE_LIBRARIES})
  list(APPEND TZF_INTEGRATION_FUZZ_TARGETS fuzz_magick)
endif()
