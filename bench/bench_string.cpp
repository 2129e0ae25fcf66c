// The memory and string routines against plain byte loops built with the same
// guest flags: guest instructions and stores per byte on 4 KiB, counted by the
// emulator (a rep-prefixed instruction counts once per iteration), and the
// wall time of a call on a machine without the counting hooks.
#include "cpu/layout.h"
#include "guest_session.h"

#include <unicorn/unicorn.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vekos::bench {
namespace {

constexpr uint32_t kBytes = 4096;
constexpr int kBatches = 5;
constexpr int kCallsPerBatch = 40;
constexpr double kAimRatio = 1.0 / 3.0;

// Buffers in the scratch region, far enough apart never to meet.
constexpr uint32_t kSrc = kScratchBase + 0x1000;
constexpr uint32_t kDst = kScratchBase + 0x4000;
constexpr uint32_t kMoveArea = kScratchBase + 0x8000;
constexpr uint32_t kMoveGap = 100;

std::vector<uint8_t> pattern(uint32_t n)
{
    std::vector<uint8_t> b(n);
    for (uint32_t i = 0; i < n; ++i)
        b[i] = uint8_t(1 + i % 251); // never zero
    return b;
}

GuestSession session(const ElfImage& image, bool profile)
{
    MachineOptions options;
    options.scratch = true;
    options.profile = profile;
    return GuestSession(image, options);
}

struct Case {
    const char* label;
    const char* routine;
    const char* loop;
    std::vector<uint32_t> args;
    bool aimed; // held to a third of the byte loop
    // Fills memory before a call, then checks what the call did.
    std::function<void(GuestSession&)> prepare;
    std::function<bool(GuestSession&, uint32_t result)> check;
};

std::vector<Case> cases()
{
    const auto data = pattern(kBytes);
    auto copy_prepare = [data](uint32_t src) { return [data, src](GuestSession& b) { b.poke(src, data); }; };
    auto copied = [data](uint32_t dst) {
        return [data, dst](GuestSession& b, uint32_t result) { return result == dst && b.peek(dst, kBytes) == data; };
    };
    auto move_prepare = [](GuestSession& b) { b.poke(kMoveArea, pattern(kBytes + kMoveGap)); };
    auto moved = [](uint32_t dst, uint32_t src) {
        return [dst, src](GuestSession& b, uint32_t result) {
            auto whole = pattern(kBytes + kMoveGap);
            std::vector<uint8_t> want(whole.begin() + (src - kMoveArea), whole.begin() + (src - kMoveArea) + kBytes);
            return result == dst && b.peek(dst, kBytes) == want;
        };
    };
    std::vector<uint8_t> text(kBytes, 'x');
    text.push_back(0);

    return {
        {"memcpy, aligned", "memcpy", "loop_copy", {kDst, kSrc, kBytes}, true, copy_prepare(kSrc), copied(kDst)},
        {"memcpy, dst+1 src+2", "memcpy", "loop_copy", {kDst + 1, kSrc + 2, kBytes}, true, copy_prepare(kSrc + 2),
            copied(kDst + 1)},
        {"memset", "memset", "loop_fill", {kDst, 0x5A, kBytes}, true, [](GuestSession&) {},
            [](GuestSession& b, uint32_t result) {
                return result == kDst && b.peek(kDst, kBytes) == std::vector<uint8_t>(kBytes, 0x5A);
            }},
        {"memmove, dst below src", "memmove", "loop_copy", {kMoveArea, kMoveArea + kMoveGap, kBytes}, true,
            move_prepare, moved(kMoveArea, kMoveArea + kMoveGap)},
        {"memmove, dst above src", "memmove", "loop_copy_backward", {kMoveArea + kMoveGap, kMoveArea, kBytes}, true,
            move_prepare, moved(kMoveArea + kMoveGap, kMoveArea)},
        {"strlen", "strlen", "loop_length", {kSrc}, false, [text](GuestSession& b) { b.poke(kSrc, text); },
            [](GuestSession&, uint32_t result) { return result == kBytes; }},
    };
}

// Per byte of the 4 KiB.
struct Counts {
    double instructions = 0, stores = 0, bytes_per_store = 0;
};

Counts counted(GuestSession& bench, const Case& c, const char* symbol)
{
    bench.machine().reset();
    c.prepare(bench);
    uint32_t result = bench.call(symbol, c.args);
    if (!c.check(bench, result))
        throw std::runtime_error(std::string(symbol) + " gave a wrong result in \"" + c.label + "\"");
    const Profile& p = bench.machine().profile();
    return {double(p.instructions) / kBytes, double(p.stores) / kBytes,
        p.stores ? double(p.stored_bytes) / double(p.stores) : 0};
}

// Best of a few batches: the host may be busy with other work.
double ns_per_call(GuestSession& bench, const Case& c, const char* symbol)
{
    bench.machine().reset();
    c.prepare(bench);
    bench.call(symbol, c.args); // warm the translation cache
    double best = 0;
    for (int batch = 0; batch < kBatches; ++batch) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCallsPerBatch; ++i)
            bench.call(symbol, c.args);
        std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
        double per_call = spent.count() / kCallsPerBatch;
        if (batch == 0 || per_call < best)
            best = per_call;
    }
    return best;
}

int run()
{
    const ElfImage image = ElfImage::load(VEKOS_BENCH_IMAGE);
    GuestSession profiled = session(image, true);
    GuestSession plain = session(image, false);

    std::printf("==== string routines on %u bytes, against a byte loop with the same flags ====\n", kBytes);
    std::printf("per byte; ratio = routine / byte loop; aim: both ratios <= 1/3 for the memory routines\n\n");
    std::printf("%-24s %9s %9s %8s | %9s %9s | %7s %7s %6s | %10s %10s\n", "case", "instr/B", "stores/B", "B/store",
        "loop in/B", "loop st/B", "instr", "stores", "aim", "ns/call", "loop ns");
    bool all_met = true;
    for (const Case& c : cases()) {
        Counts lib = counted(profiled, c, c.routine);
        Counts loop = counted(profiled, c, c.loop);
        double ri = lib.instructions / loop.instructions;
        double rs = loop.stores > 0 ? lib.stores / loop.stores : 0;
        const char* verdict = "-";
        if (c.aimed) {
            bool met = ri <= kAimRatio && rs <= kAimRatio;
            all_met = all_met && met;
            verdict = met ? "met" : "MISSED";
        }
        std::printf("%-24s %9.3f %9.3f %8.2f | %9.3f %9.3f | %7.3f %7.3f %6s | %10.0f %10.0f\n", c.label,
            lib.instructions, lib.stores, lib.bytes_per_store, loop.instructions, loop.stores, ri, rs, verdict,
            ns_per_call(plain, c, c.routine), ns_per_call(plain, c, c.loop));
    }
    std::printf("\n%s\n", all_met ? "every aim met" : "some aims missed");
    return all_met ? 0 : 1;
}

} // namespace
} // namespace vekos::bench

int main() { return vekos::bench::run_guarded("bench_string", vekos::bench::run, 2); }
