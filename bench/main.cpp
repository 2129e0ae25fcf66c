// Runs the in-process benchmarks, then prints the figures that matter, with
// derived ones (loop cost subtracted, with/without ratios) and their aims.
#include "common.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vekos::bench {
namespace {

std::map<std::string, double> g_results;

double to_ns(double value, benchmark::TimeUnit unit)
{
    switch (unit) {
    case benchmark::kNanosecond: return value;
    case benchmark::kMicrosecond: return value * 1e3;
    case benchmark::kMillisecond: return value * 1e6;
    case benchmark::kSecond: return value * 1e9;
    }
    return value;
}

// The ordinary console table, and a copy of each figure for the summary:
// CPU time of the benchmark's thread (the machine may be shared, so real
// time is noisier), the lowest over repetitions.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal (a reporter given to the library ignores --benchmark_color).
    CollectingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) { }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            double ns = to_ns(run.GetAdjustedCPUTime(), run.time_unit);
            auto [it, fresh] = g_results.emplace(run.benchmark_name(), ns);
            if (!fresh)
                it->second = std::min(it->second, ns);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// The result named `key`, or `key` followed by "/arguments"; NaN if not run.
double find(const std::string& key)
{
    for (const auto& [name, ns] : g_results)
        if (name == key || name.rfind(key + "/", 0) == 0)
            return ns;
    return std::nan("");
}

// Per-call figure of a loop benchmark: time per run of N calls / N.
double per_call(const std::string& prefix, double calls) { return find(prefix) / calls; }

void line(const char* what, double value, const char* unit, const char* aim = nullptr)
{
    if (std::isnan(value)) {
        std::printf("  %-64s %10s\n", what, "(not run)");
        return;
    }
    if (aim)
        std::printf("  %-64s %10.3f %-3s  (aim %s)\n", what, value, unit, aim);
    else
        std::printf("  %-64s %10.3f %s\n", what, value, unit);
}

void summary()
{
    std::printf("\n==== vekos benchmark summary (CPU time per operation, best of the repetitions) ====\n");
    std::printf("1. Fresh engine with the ELF loaded (ElfImage parsed once)\n");
    line("Machine construction, vekos-run options", find("BM_MachineConstruct/run_options") / 1e3, "us", "~500 us");
    line("Machine construction, harness options (scratch, limit)", find("BM_MachineConstruct/harness_options") / 1e3,
        "us", "~500 us");
    line("Machine construction + destruction", find("BM_MachineConstructDestroy") / 1e3, "us");

    std::printf("2. Reset between tests\n");
    line("Machine::reset(), nothing dirtied", find("BM_MachineReset/dirty_pages:0") / 1e3, "us", "<= 50 us");
    line("Machine::reset() after a call dirtying 8 data + 4 stack pages", find("BM_MachineReset/dirty_pages:8") / 1e3,
        "us", "<= 50 us");
    line("harness-style reset (machine, kernel, console, sandbox)", find("BM_HarnessReset") / 1e3, "us", "<= 50 us");
    line("Machine::reset() + a trivial call (its stack page faults back in)", find("BM_MachineResetThenCall") / 1e3,
        "us");

    std::printf("3. Guest call of a trivial function\n");
    line("Machine::call, stops on the int3 of the stand-in page", find("BM_MachineCall/run_options") / 1e3, "us", "<= 1 us");
    line("Machine::call, harness options (block hook for the limit)", find("BM_MachineCall/harness_options") / 1e3,
        "us", "<= 1 us");
    line("raw Unicorn call, stops on a hlt", find("BM_RawCall/stop_on_hlt") / 1e3, "us");
    line("raw Unicorn call, stops at uc_emu_start's until address", find("BM_RawCall/stop_at_until") / 1e3, "us");

    constexpr double kLoopCalls = 100000;
    std::printf("4. Kernel call answered without a host system call (%.0f calls per run)\n", kLoopCalls);
    double loop = per_call("BM_GuestLoop/empty", kLoopCalls);
    double usleep_call = per_call("BM_GuestLoop/usleep_virtual_clock", kLoopCalls);
    // (find() takes "usleep_virtual_clock" exactly or followed by "/", not "_keep_log")
    double gui_call = per_call("BM_GuestLoop/gui_begin_enosys", kLoopCalls);
    double usleep_log = per_call("BM_GuestLoop/usleep_virtual_clock_keep_log", kLoopCalls);
    line("loop iteration without the trap (subtracted below)", loop * 1e-3, "us");
    line("usleep(1), virtual clock, per call, loop included", usleep_call * 1e-3, "us");
    line("usleep(1), virtual clock, per call, loop subtracted", (usleep_call - loop) * 1e-3, "us", "<= 0.1 us");
    line("gui_begin (answered -38), per call, loop subtracted", (gui_call - loop) * 1e-3, "us", "<= 0.1 us");
    line("usleep(1) with the harness's call log kept, loop subtracted", (usleep_log - loop) * 1e-3, "us");
    line("usleep(1) via the library wrapper (3 guest stores), loop included",
        per_call("BM_GuestLoop/usleep_library_wrapper", kLoopCalls) * 1e-3, "us");

    constexpr double kStores = 65536;
    std::printf("6. Precise-EIP memory probe hook, byte accesses (%.0f per run)\n", kStores);
    double without = per_call("BM_RawStores/without_probe_hook", kStores);
    double with = per_call("BM_RawStores/with_probe_hook", kStores);
    line("raw Unicorn store loop, no memory hook, per store", without, "ns");
    line("raw Unicorn store loop, probe hook on an unused page", with, "ns");
    line("  cost of the hook: ratio with/without", with / without, "x");
    double loads_without = per_call("BM_RawLoads/without_probe_hook", kStores);
    double loads_with = per_call("BM_RawLoads/with_probe_hook", kStores);
    line("raw Unicorn load loop, no memory hook, per load", loads_without, "ns");
    line("raw Unicorn load loop, probe hook on an unused page", loads_with, "ns");
    line("  cost of the hook: ratio with/without", loads_with / loads_without, "x");
    line("Machine::call of the guest's byte-store loop, per store", per_call("BM_MachineStores", kStores), "ns");
    std::printf("  note: in Unicorn 2.0.1 every guest store to RAM takes the not-dirty slow path (a\n"
                "  translated-code check per store), hook or no hook; the hook adds a helper call to each load.\n");
    std::printf("(5. console write vs qemu-i386: vekos_bench_console, run by bench/run.sh)\n");
}

} // namespace

} // namespace vekos::bench

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    try {
        vekos::bench::bench_image();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vekos_bench: %s\n", e.what());
        return 1;
    }
    vekos::bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    vekos::bench::summary();
    return 0;
}
