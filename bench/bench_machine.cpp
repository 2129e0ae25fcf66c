// Machine construction, reset and guest calls, as the test harness uses them.
#include "common.h"

#include "cpu/layout.h"
#include "cpu/machine.h"
#include "kernel/kernel.h"
#include "session/session.h"

#include <benchmark/benchmark.h>
#include <unicorn/unicorn.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace vekos::bench {

const ElfImage& bench_image()
{
    static const ElfImage image = ElfImage::load(VEKOS_BENCH_IMAGE);
    return image;
}

uint32_t bench_symbol(const std::string& name)
{
    auto s = bench_image().symbol(name);
    if (!s)
        throw std::invalid_argument("benchmark image has no symbol " + name);
    return s->value;
}

namespace {

// The harness's options: scratch memory and an instruction budget.
constexpr uint64_t kHarnessInstructionLimit = 200'000'000;

MachineOptions machine_options(bool harness)
{
    MachineOptions o;
    if (harness) {
        o.scratch = true;
        o.max_instructions = kHarnessInstructionLimit;
    }
    return o;
}

KernelOptions kernel_options(bool keep_log = false)
{
    KernelOptions o;
    o.fast_clock = true;
    o.keep_log = keep_log;
    return o;
}

void BM_MachineConstruct(benchmark::State& state, bool harness)
{
    const ElfImage& image = bench_image();
    NullConsole console;
    Kernel kernel(kernel_options(), console);
    MachineOptions options = machine_options(harness);
    for (auto _ : state) {
        auto machine = std::make_unique<Machine>(image, kernel, options);
        benchmark::DoNotOptimize(machine.get());
        state.PauseTiming();
        machine.reset();
        state.ResumeTiming();
    }
}
BENCHMARK_CAPTURE(BM_MachineConstruct, run_options, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MachineConstruct, harness_options, true)->Unit(benchmark::kMicrosecond);

void BM_MachineConstructDestroy(benchmark::State& state)
{
    const ElfImage& image = bench_image();
    NullConsole console;
    Kernel kernel(kernel_options(), console);
    for (auto _ : state) {
        Machine machine(image, kernel, machine_options(true));
        benchmark::DoNotOptimize(&machine);
    }
}
BENCHMARK(BM_MachineConstructDestroy)->Unit(benchmark::kMicrosecond);

// Machine::reset() after a call that wrote to `dirty_pages` data pages and a
// few stack pages (the call itself is not timed).
void BM_MachineReset(benchmark::State& state)
{
    NullConsole console;
    Kernel kernel(kernel_options(), console);
    Machine machine(bench_image(), kernel, machine_options(true));
    const uint32_t dirty = bench_symbol("bench_dirty");
    const uint32_t pages = uint32_t(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        if (pages) {
            Stop stop = machine.call(dirty, std::span<const uint32_t>(&pages, 1));
            if (stop.why != Stop::Why::Returned) {
                state.SkipWithError("bench_dirty did not return");
                break;
            }
        }
        state.ResumeTiming();
        machine.reset();
    }
}
BENCHMARK(BM_MachineReset)->ArgName("dirty_pages")->Arg(0)->Arg(8)->Unit(benchmark::kMicrosecond);

// A reset drops the written pages; the next call pays for touching them again
// (here the stack page the call's frame is on).  Reset + trivial call.
void BM_MachineResetThenCall(benchmark::State& state)
{
    NullConsole console;
    Kernel kernel(kernel_options(), console);
    Machine machine(bench_image(), kernel, machine_options(true));
    const uint32_t nop = bench_symbol("bench_nop");
    const uint32_t arg = 41;
    for (auto _ : state) {
        machine.reset();
        Stop stop = machine.call(nop, std::span<const uint32_t>(&arg, 1));
        if (stop.why != Stop::Why::Returned) {
            state.SkipWithError("bench_nop did not return");
            break;
        }
    }
}
BENCHMARK(BM_MachineResetThenCall)->Unit(benchmark::kMicrosecond);

// What the test harness does before every test: a Session's reset (machine,
// kernel, console, sandbox) with the harness's limit, clock and options.
void BM_HarnessReset(benchmark::State& state)
{
    SessionOptions options;
    options.kernel = kernel_options(true);
    options.machine = machine_options(true);
    Session session(bench_image(), std::move(options));
    const uint32_t dirty = bench_symbol("bench_dirty");
    const uint32_t pages = 8;
    for (auto _ : state) {
        state.PauseTiming();
        session.call(dirty, std::span<const uint32_t>(&pages, 1));
        state.ResumeTiming();
        session.reset();
        session.machine().set_instruction_limit(kHarnessInstructionLimit);
        session.kernel().set_observer({});
        session.kernel().clear_injections();
    }
}
BENCHMARK(BM_HarnessReset)->Unit(benchmark::kMicrosecond);

// Machine::call of `unsigned bench_nop(unsigned)`, stopping on the sentinel's hlt.
void BM_MachineCall(benchmark::State& state, bool harness)
{
    NullConsole console;
    Kernel kernel(kernel_options(), console);
    Machine machine(bench_image(), kernel, machine_options(harness));
    const uint32_t nop = bench_symbol("bench_nop");
    uint32_t arg = 41;
    for (auto _ : state) {
        Stop stop = machine.call(nop, std::span<const uint32_t>(&arg, 1));
        if (stop.why != Stop::Why::Returned) {
            state.SkipWithError("bench_nop did not return");
            break;
        }
    }
    if (machine.reg(UC_X86_REG_EAX) != 42)
        state.SkipWithError("bench_nop gave a wrong answer");
}
BENCHMARK_CAPTURE(BM_MachineCall, run_options, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MachineCall, harness_options, true)->Unit(benchmark::kMicrosecond);

// Machine::call of the guest's byte-store loop over 64 KiB of stack memory.
void BM_MachineStores(benchmark::State& state)
{
    NullConsole console;
    Kernel kernel(kernel_options(), console);
    Machine machine(bench_image(), kernel, machine_options(false));
    const uint32_t fill = bench_symbol("bench_fill");
    const uint32_t args[2] = {kStackBase, 65536};
    for (auto _ : state) {
        Stop stop = machine.call(fill, args);
        if (stop.why != Stop::Why::Returned) {
            state.SkipWithError("bench_fill did not return");
            break;
        }
    }
}
BENCHMARK(BM_MachineStores)->Unit(benchmark::kMicrosecond);

// N kernel calls made by a guest loop in one Machine::call; the loop returns
// the sum of the answers, which must be N times `answer`.
void BM_GuestLoop(benchmark::State& state, const char* function, bool keep_log, int32_t answer)
{
    NullConsole console;
    Kernel kernel(kernel_options(keep_log), console);
    Machine machine(bench_image(), kernel, machine_options(false));
    const uint32_t entry = bench_symbol(function);
    const uint32_t n = uint32_t(state.range(0));
    for (auto _ : state) {
        if (keep_log) {
            state.PauseTiming();
            kernel.clear_log();
            state.ResumeTiming();
        }
        Stop stop = machine.call(entry, std::span<const uint32_t>(&n, 1));
        if (stop.why != Stop::Why::Returned) {
            state.SkipWithError("the guest loop did not return");
            return;
        }
    }
    if (machine.reg(UC_X86_REG_EAX) != uint32_t(answer) * n)
        state.SkipWithError("the calls were not answered as expected");
    state.SetItemsProcessed(int64_t(state.iterations()) * n);
}
// Per-call figures are run time / 100000; the summary subtracts the empty loop
// (whose "answer" is the call number left in eax).
constexpr int32_t kEnosys = -38;
BENCHMARK_CAPTURE(BM_GuestLoop, empty, "bench_empty_loop", false, 22)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GuestLoop, usleep_virtual_clock, "bench_usleep_loop", false, 0)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GuestLoop, gui_begin_enosys, "bench_gui_loop", false, kEnosys)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GuestLoop, usleep_virtual_clock_keep_log, "bench_usleep_loop", true, 0)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GuestLoop, usleep_library_wrapper, "bench_usleep_wrapper_loop", false, 0)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace vekos::bench
