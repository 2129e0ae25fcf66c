// Raw Unicorn engines, without the stand-in: how a call is best stopped, and
// what the precise-EIP memory probe hook costs on store-heavy guest code.
#include "cpu/layout.h"

#include <benchmark/benchmark.h>
#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace vekos::bench {
namespace {

constexpr uint32_t kCode = 0x00100000;
constexpr uint32_t kData = 0x00200000;
constexpr uint32_t kDataSize = 0x10000; // 64 KiB

void check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string("Unicorn: ") + what + ": " + uc_strerror(err));
}

void probe(uc_engine*, uc_mem_type, uint64_t, int, int64_t, void*) { }

// One engine: code page, 64 KiB data, stack, a page of hlt for returns.
class RawEngine {
public:
    RawEngine(const std::vector<uint8_t>& code, bool probe_hook)
    {
        check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "open");
        check(uc_mem_map(uc_, kCode, kPageSize, UC_PROT_READ | UC_PROT_EXEC), "map code");
        check(uc_mem_map(uc_, kData, kDataSize, UC_PROT_READ | UC_PROT_WRITE), "map data");
        check(uc_mem_map(uc_, kStackBase, kStackSize, UC_PROT_READ | UC_PROT_WRITE), "map stack");
        check(uc_mem_map(uc_, kReturnSentinel, kPageSize, UC_PROT_READ | UC_PROT_EXEC), "map sentinel");
        std::vector<uint8_t> hlts(kPageSize, 0xF4);
        check(uc_mem_write(uc_, kReturnSentinel, hlts.data(), hlts.size()), "write sentinel");
        check(uc_mem_write(uc_, kCode, code.data(), code.size()), "write code");
        if (probe_hook) {
            // As machine.cpp does: a no-op read/write hook on a page nothing uses.
            uc_hook h;
            check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&probe), nullptr,
                      kNeverExecuted, kNeverExecuted),
                "probe hook");
        }
    }
    ~RawEngine() { uc_close(uc_); }
    RawEngine(const RawEngine&) = delete;
    RawEngine& operator=(const RawEngine&) = delete;

    // Calls the code at kCode with one argument; it returns to the sentinel page.
    uint32_t call(uint32_t arg, bool stop_at_until)
    {
        uint32_t frame[2] = {kReturnSentinel, arg};
        uint32_t sp = kStackTop - 64;
        check(uc_mem_write(uc_, sp, frame, sizeof frame), "frame");
        check(uc_reg_write(uc_, UC_X86_REG_ESP, &sp), "esp");
        uc_err err = uc_emu_start(uc_, kCode, stop_at_until ? kReturnSentinel : kNeverExecuted, 0, 0);
        check(err, "run");
        uint32_t eip = 0, eax = 0;
        uc_reg_read(uc_, UC_X86_REG_EIP, &eip);
        uc_reg_read(uc_, UC_X86_REG_EAX, &eax);
        if (eip != kReturnSentinel + (stop_at_until ? 0 : 1))
            throw std::runtime_error("the call stopped at an unexpected address");
        return eax;
    }

private:
    uc_engine* uc_ = nullptr;
};

// unsigned f(unsigned x) { return x + 1; }
const std::vector<uint8_t> kNopFunction = {
    0x8B, 0x44, 0x24, 0x04, // mov eax, [esp+4]
    0x40,                   // inc eax
    0xC3,                   // ret
};

// void f(unsigned n): n byte stores, one at a time, from kData up.
const std::vector<uint8_t> kStoreLoop = {
    0x8B, 0x4C, 0x24, 0x04,       // mov ecx, [esp+4]
    0xBA, 0x00, 0x00, 0x20, 0x00, // mov edx, kData
    0x88, 0x0A,                   // loop: mov [edx], cl
    0x42,                         // inc edx
    0x49,                         // dec ecx
    0x75, 0xFA,                   // jnz loop
    0xC3,                         // ret
};

// unsigned f(unsigned n): n byte loads, one at a time, from kData up.
const std::vector<uint8_t> kLoadLoop = {
    0x8B, 0x4C, 0x24, 0x04,       // mov ecx, [esp+4]
    0xBA, 0x00, 0x00, 0x20, 0x00, // mov edx, kData
    0x31, 0xC0,                   // xor eax, eax
    0x02, 0x02,                   // loop: add al, [edx]
    0x42,                         // inc edx
    0x49,                         // dec ecx
    0x75, 0xFA,                   // jnz loop
    0xC3,                         // ret
};

void BM_RawCall(benchmark::State& state, bool stop_at_until)
{
    try {
        RawEngine engine(kNopFunction, false);
        for (auto _ : state)
            benchmark::DoNotOptimize(engine.call(41, stop_at_until));
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}
BENCHMARK_CAPTURE(BM_RawCall, stop_on_hlt, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RawCall, stop_at_until, true)->Unit(benchmark::kMicrosecond);

// 65536 byte accesses per iteration; the summary divides.
void raw_accesses(benchmark::State& state, const std::vector<uint8_t>& code, bool probe_hook)
{
    static_assert(kDataSize == 65536);
    try {
        RawEngine engine(code, probe_hook);
        for (auto _ : state)
            engine.call(kDataSize, false);
        state.SetItemsProcessed(int64_t(state.iterations()) * kDataSize);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}
void BM_RawStores(benchmark::State& state, bool probe_hook) { raw_accesses(state, kStoreLoop, probe_hook); }
void BM_RawLoads(benchmark::State& state, bool probe_hook) { raw_accesses(state, kLoadLoop, probe_hook); }
BENCHMARK_CAPTURE(BM_RawStores, without_probe_hook, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RawStores, with_probe_hook, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RawLoads, without_probe_hook, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RawLoads, with_probe_hook, true)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace vekos::bench
