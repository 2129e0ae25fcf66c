# Formatter figures: guest instructions per output character of snprintf and
# kernel calls per printf on the console (bench/bench_format.cpp).  They are
# exact counts from one profiled run each, so Google Benchmark is not needed.
# The test image carries every runtime routine with its symbol.
add_executable(vekos_bench_format ${CMAKE_CURRENT_LIST_DIR}/bench_format.cpp)
target_compile_options(vekos_bench_format PRIVATE -Wall -Wextra)
target_link_libraries(vekos_bench_format PRIVATE vekos_standin)
target_compile_definitions(vekos_bench_format PRIVATE
    VEKOS_FORMAT_IMAGE="$<TARGET_FILE:vekos_test_image>")
set_target_properties(vekos_bench_format PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(vekos_bench_format vekos_test_image)
