# libFuzzer targets: real i386 library code run in the stand-in on arbitrary
# input.  They are built with clang++ (-fsanitize=fuzzer; scripts/setup.sh
# installs clang and its fuzzer runtime) against the stand-in library that
# the project's own compiler built.  ctest runs each for a bounded time from
# a fixed seed.

find_program(VEKOS_FUZZ_CXX NAMES clang++ clang++-16 clang++-15 clang++-14 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(VEKOS_FUZZ_LIBS REQUIRED unicorn capstone sdl2 libpng libdw)
set(VEKOS_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})

# vekos_fuzzer(NAME SECONDS ARGS...): a libFuzzer target run SECONDS by make test.
function(vekos_fuzzer name seconds)
  set(src ${VEKOS_FUZZ_DIR}/${name}.cpp)
  set(bin ${CMAKE_BINARY_DIR}/tests/${name})
  set(corpus ${CMAKE_BINARY_DIR}/tests/${name}_corpus)  # new inputs stay in the build tree
  file(MAKE_DIRECTORY ${corpus})
  add_custom_command(
    OUTPUT ${bin}
    COMMAND ${VEKOS_FUZZ_CXX} -std=c++20 -O2 -g -fsanitize=fuzzer -Wall -Wextra
            -MD -MF ${bin}.d -MT ${bin}
            -DVEKOS_HOST -I${CMAKE_SOURCE_DIR}/emulator -I${CMAKE_SOURCE_DIR}/kernel/api -I${CMAKE_SOURCE_DIR}/tests
            ${VEKOS_FUZZ_LIBS_CFLAGS}
            -DVEKOS_TEST_IMAGE="${CMAKE_BINARY_DIR}/tests/vekos_test_image"
            ${src} $<TARGET_FILE:vekos_standin> $<TARGET_FILE:vekos_coverage>
            ${VEKOS_FUZZ_LIBS_LDFLAGS} -lgif -lpthread
            -o ${bin}
    DEPENDS ${src} vekos_standin vekos_coverage
    DEPFILE ${bin}.d
    COMMENT "Building the fuzz target ${name} with ${VEKOS_FUZZ_CXX}"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(vekos_${name} ALL DEPENDS ${bin})
  add_dependencies(vekos_${name} vekos_test_image)
  add_test(NAME ${name}
    COMMAND ${bin} -max_total_time=${seconds} -seed=1 -timeout=10 -print_final_stats=1
            -artifact_prefix=${CMAKE_BINARY_DIR}/tests/${name}_ ${corpus} ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endfunction()

# The two share make test's two cores with the suites: 30 s of fuzzing in all,
# most where the inputs are richest.  Longer runs: the test's own command line
# (ctest -V -R fuzz_NAME shows it) with -max_total_time=900; the corpus in the
# build tree comes first, for libFuzzer adds new inputs to the first folder.
vekos_fuzzer(fuzz_library 18 -max_len=1024 -dict=${VEKOS_FUZZ_DIR}/library.dict ${VEKOS_FUZZ_DIR}/library_seeds)

# The loader, from real programs: the seeds are paneprobe and the test image.
set(VEKOS_ELF_SEEDS ${CMAKE_BINARY_DIR}/tests/fuzz_elf_seeds)
add_custom_command(OUTPUT ${VEKOS_ELF_SEEDS}/paneprobe ${VEKOS_ELF_SEEDS}/test_image
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VEKOS_ELF_SEEDS}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:paneprobe> ${VEKOS_ELF_SEEDS}/paneprobe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vekos_test_image> ${VEKOS_ELF_SEEDS}/test_image
    DEPENDS paneprobe vekos_test_image)
add_custom_target(vekos_fuzz_elf_seeds ALL DEPENDS ${VEKOS_ELF_SEEDS}/paneprobe ${VEKOS_ELF_SEEDS}/test_image)
vekos_fuzzer(fuzz_elf 12 -max_len=65536 -rss_limit_mb=2048 ${VEKOS_ELF_SEEDS})

