// Memory-stream growth: what a stream fed one byte at a time with fputc costs
// the bump arena, and how many times its buffer is reallocated on the way.
// Every fputc is a separate guest call; the figures are counts and bytes, so
// they do not depend on the host's speed (the time is printed only as a hint).
//
// Usage: vekos_bench_stdio [IMAGE]
#include "cpu/layout.h"
#include "guest_session.h"

#include <unicorn/unicorn.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace vekos;

constexpr uint32_t kTarget = 100 * 1024; // bytes written to the stream
constexpr uint32_t kArena = 0x100000;
// Offsets in the stream record.
constexpr uint32_t kDataField = 12, kLenField = 16, kCapField = 20;

int run(const char* image_path)
{
    const ElfImage image = ElfImage::load(image_path);
    MachineOptions options;
    options.scratch = true; // the caller's two cells live there
    bench::GuestSession g(image, options);
    const uint32_t heap_used = g.symbol("g_heap_used");
    const uint32_t fputc = g.symbol("fputc");
    const uint32_t bufp = kScratchBase, sizep = kScratchBase + 4;

    const uint32_t used_before = g.u32(heap_used);
    const uint32_t stream = g.call(g.symbol("open_memstream"), {bufp, sizep});
    if (!stream)
        throw std::runtime_error("open_memstream failed");
    const uint32_t record_cost = g.u32(heap_used) - used_before;

    unsigned growths = 0;
    uint32_t cap = g.u32(stream + kCapField);
    std::vector<uint32_t> caps;
    auto begin = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < kTarget; ++i) {
        const uint32_t ch = 'a' + i % 26;
        if (g.call(fputc, {ch, stream}) != ch)
            throw std::runtime_error("fputc failed after " + std::to_string(i) + " bytes");
        uint32_t now = g.u32(stream + kCapField);
        if (now != cap) {
            ++growths;
            caps.push_back(now);
            cap = now;
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    // The stream must hold exactly what was written, published to the caller.
    const uint32_t data = g.u32(stream + kDataField), len = g.u32(stream + kLenField);
    std::vector<uint8_t> held = g.peek(data, len + 1);
    bool intact = len == kTarget && g.u32(bufp) == data && g.u32(sizep) == kTarget && held[len] == 0;
    for (uint32_t i = 0; intact && i < len; ++i)
        intact = held[i] == 'a' + i % 26;
    if (!intact)
        throw std::runtime_error("the stream does not hold what was written");

    const uint32_t total = g.u32(heap_used) - used_before;
    uint64_t cap_sum = 0;
    for (uint32_t c : caps)
        cap_sum += c;

    std::printf("==== memory stream grown by fputc to %u bytes ====\n", kTarget);
    std::printf("  %-52s %10u\n", "realloc growths", growths);
    std::printf("  %-52s", "capacities");
    for (uint32_t c : caps)
        std::printf(" %u", c);
    std::printf("\n");
    std::printf("  %-52s %10u bytes\n", "arena cost (g_heap_used after - before)", total);
    std::printf("  %-52s %10u bytes\n", "  of which the stream record", record_cost);
    std::printf("  %-52s %10llu bytes\n", "  of which buffers (sum of capacities)", (unsigned long long)cap_sum);
    std::printf("  %-52s %10llu bytes\n", "  of which block headers and rounding",
        (unsigned long long)(total - record_cost - cap_sum));
    std::printf("  %-52s %10.3f\n", "arena bytes per byte held", double(total) / kTarget);
    std::printf("  %-52s %10.1f %%\n", "share of the 1 MiB arena", 100.0 * total / kArena);
    std::printf("  %-52s %10.3f us\n", "host time per fputc guest call (hint only)", seconds * 1e6 / kTarget);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    return vekos::bench::run_guarded("vekos_bench_stdio", [&] { return run(argc > 1 ? argv[1] : VEKOS_BENCH_IMAGE); });
}
