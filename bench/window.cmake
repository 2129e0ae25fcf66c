# Window pacing: paneprobe under the window service for 10 s of real time
# (achieved frame rate against 62.5 a second, frame-interval jitter), then on
# the virtual clock (host time per rendered frame).  A fragment for
# bench/CMakeLists.txt: include(${CMAKE_CURRENT_LIST_DIR}/window.cmake).
# It needs no Google Benchmark; run build/bench/vekos_bench_window [--help].
add_executable(vekos_bench_window ${CMAKE_CURRENT_LIST_DIR}/window_pacing.cpp)
target_compile_options(vekos_bench_window PRIVATE -Wall -Wextra)
target_link_libraries(vekos_bench_window PRIVATE vekos_standin)
target_compile_definitions(vekos_bench_window PRIVATE VEKOS_PANEPROBE="$<TARGET_FILE:paneprobe>")
set_target_properties(vekos_bench_window PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(vekos_bench_window paneprobe)
