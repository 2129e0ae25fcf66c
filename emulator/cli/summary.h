// --summary: what a run did, counted per call as strace -c does, with the
// instructions executed and the wall and CPU time it took.
#pragma once

#include "kernel/kernel.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace vekos {

class CallSummary {
public:
    CallSummary();
    void count(const CallRecord& call);
    // The table, a line per call made (most made first), then a total and the times.
    std::string report(const std::string& program, uint64_t instructions) const;

private:
    struct Counts {
        uint64_t calls = 0, errors = 0;
        std::chrono::nanoseconds host_time{0};
    };
    std::map<uint32_t, Counts> by_call_;
    std::chrono::steady_clock::time_point started_;
};

} // namespace vekos
