// How the library's tests and fuzzers set up the test image's session: the
// virtual clock, the scratch region, a fixed rdtsc and an instruction budget.
#pragma once

#include "session/session.h"

#include <cstdint>
#include <cstdlib>

namespace vekos::test {

inline SessionOptions library_session_options(uint64_t instruction_limit, bool keep_log = false)
{
    SessionOptions options;
    options.kernel.fast_clock = true;
    options.kernel.keep_log = keep_log;
    options.machine.scratch = true;
    options.machine.fixed_tsc = true;
    options.machine.max_instructions = instruction_limit;
    if (const char* tracefile = std::getenv("VEKOS_COVERAGE")) // make coverage
        options.coverage = tracefile;
    return options;
}

} // namespace vekos::test
