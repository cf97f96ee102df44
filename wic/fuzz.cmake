# The WIC decoder's stream path (wic_picture.cpp), built natively: the COM
# glue around it is Windows only. Included by fuzz/CMakeLists.txt.
add_executable(fuzz_wic ${CMAKE_SOURCE_DIR}/wic/fuzz_wic.cpp ${CMAKE_SOURCE_DIR}/wic/wic_picture.cpp)
target_include_directories(fuzz_wic PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(fuzz_wic PRIVATE -fsanitize=fuzzer)
target_link_options(fuzz_wic PRIVATE -fsanitize=fuzzer)
target_link_libraries(fuzz_wic PRIVATE tzf_static)
list(APPEND TZF_INTEGRATION_FUZZ_TARGETS fuzz_wic)
