// How the library's tests and fuzzers set up the test image's session: the
// virtual clock, the scratch region, a fixed rdtsc and an instruction budget.
#pragma once

#include "session/session.h"

#include <cstdint>
#include <cstdlib>

namespace vekos::test {

// The lcov tracefile make coverage names for the tests' guest runs, if any.
inline std::optional<std::filesystem::path> coverage_tracefile()
{
    const char* tracefile = std::getenv("VEKOS_COVERAGE");
    return tracefile ? std::optional<std::filesystem::path>(tracefile) : std::nullopt;
}

inline SessionOptions library_session_options(uint64_t instruction_limit, bool keep_log = false)
{
    SessionOptions options;
    options.kernel.fast_clock = true;
    options.kernel.keep_log = keep_log;
    options.machine.scratch = true;
    options.machine.fixed_tsc = true;
    options.machine.max_instructions = instruction_limit;
    options.coverage = coverage_tracefile();
    return options;
}

} // namespace vekos::test
