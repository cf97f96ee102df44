# The GIMP plug-in's reading, driven natively: its source compiled in, no
# GIMP running. Included by fuzz/CMakeLists.txt.
add_executable(fuzz_gimp ${CMAKE_SOURCE_DIR}/gimp/fuzz_gimp.cpp
                         ${CMAKE_SOURCE_DIR}/gimp/tzf_gimp_read.cpp)
target_compile_options(fuzz_gimp PRIVATE -fsanitize=fuzzer)
target_link_options(fuzz_gimp PRIVATE -fsanitize=fuzzer)
target_include_directories(fuzz_gimp PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(fuzz_gimp PRIVATE tzf_static)
list(APPEND TZF_INTEGRATION_FUZZ_TARGETS fuzz_gimp)
