# Number conversion figures: strtold's accuracy against the host C library's
# correctly rounded strtold, and guest instructions per input byte for strtol
# and sscanf("%d").  Included from this folder's CMakeLists.txt; builds
# bench_convert, which runs the test image (the whole runtime, symbols kept).
add_executable(bench_convert ${CMAKE_CURRENT_LIST_DIR}/bench_convert.cpp)
target_compile_options(bench_convert PRIVATE -Wall -Wextra)
target_link_libraries(bench_convert PRIVATE vekos_standin)
target_compile_definitions(bench_convert PRIVATE
    VEKOS_BENCH_CONVERT_IMAGE="$<TARGET_FILE:vekos_test_image>")
set_target_properties(bench_convert PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(bench_convert vekos_test_image)
