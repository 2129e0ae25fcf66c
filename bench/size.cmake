# Program sizes (bench/bench_size.cpp): builds two small programs with the
# SDK's vekos-cc, as a user would, and measures them and paneprobe against
# the sizes aimed at.  Included from this folder's CMakeLists.txt.
add_executable(vekos_bench_size ${CMAKE_CURRENT_LIST_DIR}/bench_size.cpp)
target_compile_options(vekos_bench_size PRIVATE -Wall -Wextra)
target_compile_definitions(vekos_bench_size PRIVATE
    VEKOS_CC="${VEKOS_SDK_DIR}/bin/vekos-cc"
    VEKOS_STRIP="${CMAKE_STRIP}"
    VEKOS_SIZE_SOURCES="${CMAKE_CURRENT_LIST_DIR}/guest"
    VEKOS_PANEPROBE="$<TARGET_FILE:paneprobe>")
set_target_properties(vekos_bench_size PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(vekos_bench_size vekos_sdk paneprobe)
