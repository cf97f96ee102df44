# fuzz_vips: the libvips loaders and saver, the module's source compiled in;
# libvips itself is not instrumented. Included by fuzz/CMakeLists.txt.
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(TZF_FUZZ_VIPS IMPORTED_TARGET vips)
endif()
if(TZF_FUZZ_VIPS_FOUND)
  add_executable(fuzz_vips ${CMAKE_SOURCE_DIR}/vips/fuzz_vips.cpp
                           ${CMAKE_SOURCE_DIR}/vips/tzf_vips.cpp)
  target_compile_options(fuzz_vips PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_vips PRIVATE -fsanitize=fuzzer)
  target_include_directories(fuzz_vips PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(fuzz_vips PRIVATE tzf_static PkgConfig::TZF_FUZZ_VIPS)
  list(APPEND TZF_INTEGRATION_FUZZ_TARGETS fuzz_vips)
else()
  message(STATUS "vips not found: no fuzz_vips")
endif()
