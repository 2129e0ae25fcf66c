#include "cli/summary.h"

#include "kernel/calls.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vekos {
namespace {

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

std::string row(uint64_t calls, uint64_t errors, std::chrono::nanoseconds time, const std::string& name)
{
    char line[128];
    std::snprintf(line, sizeof line, "  %8llu  %6llu  %10.6f  %s\n", static_cast<unsigned long long>(calls),
        static_cast<unsigned long long>(errors), std::chrono::duration<double>(time).count(), name.c_str());
    return line;
}

} // namespace

CallSummary::CallSummary() : started_(std::chrono::steady_clock::now()) { }

void CallSummary::count(const CallRecord& call)
{
    Counts& c = by_call_[call.in.eax];
    ++c.calls;
    c.errors += call.answer < 0 || !call.provided;
    c.host_time += call.host_time;
}

std::string CallSummary::report(const std::string& program, uint64_t instructions) const
{
    std::vector<std::pair<uint32_t, Counts>> rows(by_call_.begin(), by_call_.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second.calls > b.second.calls; });
    std::string out = "vekos-run: summary of " + program + "\n     calls  errors     seconds  call\n";
    Counts total;
    for (const auto& [number, c] : rows) {
        const CallInfo* info = find_call(number);
        out += row(c.calls, c.errors, c.host_time, info ? std::string(info->name) : "call" + std::to_string(number));
        total.calls += c.calls;
        total.errors += c.errors;
        total.host_time += c.host_time;
    }
    out += row(total.calls, total.errors, total.host_time, "total");
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    char times[160];
    std::snprintf(times, sizeof times, "  %llu instructions; %.3f s wall, %.3f s CPU\n",
        static_cast<unsigned long long>(instructions),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(),
        seconds(usage.ru_utime) + seconds(usage.ru_stime));
    return out + times;
}

} // namespace vekos
