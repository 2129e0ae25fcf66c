# Memory-stream growth (bench_stdio.cpp): arena cost and number of growths of a
# stream fed byte by byte.  Plain figures, no Google Benchmark needed.  It runs
# on the test image, which has the whole runtime linked in with its symbols.
add_executable(vekos_bench_stdio ${CMAKE_CURRENT_LIST_DIR}/bench_stdio.cpp)
target_compile_options(vekos_bench_stdio PRIVATE -Wall -Wextra)
target_link_libraries(vekos_bench_stdio PRIVATE vekos_standin)
target_compile_definitions(vekos_bench_stdio PRIVATE VEKOS_STDIO_BENCH_IMAGE="$<TARGET_FILE:vekos_test_image>")
set_target_properties(vekos_bench_stdio PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(vekos_bench_stdio vekos_test_image)
