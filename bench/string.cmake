# String routines against plain byte loops, counted by the emulator
# instruction by instruction and store by store.  Included from this folder's
# CMakeLists.txt; builds bench_string and its guest image bench_string_image.
vekos_guest_executable(bench_string_image ${CMAKE_CURRENT_LIST_DIR}/guest/bench_string_loops.cpp KEEP_ALL)
set_target_properties(bench_string_image PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

add_executable(bench_string ${CMAKE_CURRENT_LIST_DIR}/bench_string.cpp)
target_compile_options(bench_string PRIVATE -Wall -Wextra)
target_link_libraries(bench_string PRIVATE vekos_standin)
target_compile_definitions(bench_string PRIVATE
    VEKOS_BENCH_STRING_IMAGE="$<TARGET_FILE:bench_string_image>")
set_target_properties(bench_string PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(bench_string bench_string_image)
