# Flags and helpers for code that runs inside vekos (i386, freestanding).
# The same flag lists are written into the SDK's vekos-cc, so programs built
# by users match the ones built here.

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE VEKOS_COMPILER_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -m32 -print-libgcc-file-name
                OUTPUT_VARIABLE VEKOS_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS "${VEKOS_LIBGCC}")
  message(FATAL_ERROR "32-bit libgcc not found (${VEKOS_LIBGCC}); install g++-multilib")
endif()

# Common to C and C++ guest sources.  Every vekos program is built for size:
# most of its code runs a handful of times, and what formats text to the
# console waits on one kernel call per piece anyway.
set(VEKOS_GUEST_FLAGS
    -m32 -march=i686 -ffreestanding -fno-pic -fno-stack-protector -nostdlib
    -nostdinc -isystem ${VEKOS_COMPILER_INCLUDE}
    -Os -fomit-frame-pointer -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections
    # The string routines are the loops GCC would turn into calls to themselves.
    -fno-tree-loop-distribute-patterns
    # Nothing needs more than 4-byte alignment (no SSE): no stack realignment
    # in every function that calls another, and objects of 32 bytes and more
    # are not padded out to 32.  _start still gives main 16 bytes.
    -mpreferred-stack-boundary=2 -malign-data=abi)
# For the few units whose loops set the speed of a whole family (the buffer
# formatter, integer conversion): optimised for speed, without the padding
# that aligns functions, loops and jump targets.
set(VEKOS_GUEST_SPEED_FLAGS
    -O2 -falign-functions=1 -falign-jumps=1 -falign-loops=1 -falign-labels=1)
# C++ without exceptions, RTTI or locks around function-local statics; new
# answers what the heap gives, 4-byte aligned, so types aligned more strictly
# take the aligned forms of new (the SDK's C++ support defines them all).
set(VEKOS_GUEST_CXX_FLAGS -std=c++20 -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-use-cxa-atexit -faligned-new=4)
set(VEKOS_GUEST_LINK_FLAGS
    -m32 -nostdlib -static -no-pie
    -Wl,--build-id=none -Wl,-z,noexecstack -Wl,-z,norelro -Wl,-z,noseparate-code
    -Wl,-z,max-page-size=4096)

set(VEKOS_LINKER_SCRIPT ${CMAKE_SOURCE_DIR}/sdk/vekos.ld)

# Line tables for coverage (make coverage); -g leaves the code as it is.
option(VEKOS_GUEST_DEBUG_INFO "Build the guest code with DWARF line tables" OFF)

function(vekos_guest_target target)
  target_compile_options(${target} PRIVATE
      ${VEKOS_GUEST_FLAGS} $<$<BOOL:${VEKOS_GUEST_DEBUG_INFO}>:-g>
      $<$<COMPILE_LANGUAGE:CXX>:${VEKOS_GUEST_CXX_FLAGS}>
      -Wall -Wextra)
  target_include_directories(${target} PRIVATE
      ${CMAKE_SOURCE_DIR}/kernel ${CMAKE_SOURCE_DIR}/kernel/api ${CMAKE_SOURCE_DIR}/runtime)
endfunction()

# vekos_guest_executable(NAME SOURCES... [KEEP_ALL])
#   KEEP_ALL links the whole runtime with every section kept (test images).
function(vekos_guest_executable name)
  cmake_parse_arguments(ARG "KEEP_ALL" "" "" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  vekos_guest_target(${name})
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${VEKOS_LINKER_SCRIPT})
  target_link_options(${name} PRIVATE ${VEKOS_GUEST_LINK_FLAGS} -Wl,-T,${VEKOS_LINKER_SCRIPT})
  if(ARG_KEEP_ALL)
    target_link_libraries(${name} PRIVATE vekos_crt0
        -Wl,--whole-archive vekos -Wl,--no-whole-archive ${VEKOS_LIBGCC})
  else()
    target_link_options(${name} PRIVATE -Wl,--gc-sections)
    target_link_libraries(${name} PRIVATE vekos_crt0 vekos ${VEKOS_LIBGCC})
  endif()
endfunction()
