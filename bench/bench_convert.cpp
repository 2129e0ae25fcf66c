// Number conversion figures, on the real i386 code in the stand-in:
//
//  1. strtold accuracy: over a fixed set of 10,000 decimal inputs, the
//     share of results equal to the correctly rounded value (the host C
//     library's strtold) and the largest error in units in the last place
//     of the extended format.  The library plays one x87 operation per step
//     and rounds at each, so long inputs drift by a few units.
//  2. Cost: guest instructions per input byte for strtol and sscanf("%d"),
//     counted by the emulator's profile.
#include "cpu/layout.h"
#include "guest_session.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vekos::bench {
namespace {

constexpr int kInputs = 10000;
constexpr uint32_t kText = kScratchBase + 0x1000;
constexpr uint32_t kFormat = kScratchBase + 0x100;
constexpr uint32_t kCell = kScratchBase + 0x200;

GuestSession session(const ElfImage& image, bool profile)
{
    MachineOptions options;
    options.scratch = true;
    options.profile = profile;
    return GuestSession(image, options, KernelOptions{});
}

// ---- Accuracy -------------------------------------------------------------------

// The fixed input set: mostly ordinary numbers (1 to 19 significant digits,
// a decimal point anywhere, exponents within the double range), some with
// 20 to 40 digits, all from one seed.
std::vector<std::string> decimal_inputs()
{
    std::mt19937 rng(0x5eed);
    auto below = [&](int n) { return int(rng() % uint32_t(n)); };
    std::vector<std::string> inputs;
    while (int(inputs.size()) < kInputs) {
        int digits = below(10) == 0 ? 20 + below(21) : 1 + below(19);
        std::string s;
        s += char('1' + below(9));
        for (int i = 1; i < digits; ++i)
            s += char('0' + below(10));
        int point = below(digits + 1);
        if (point < digits)
            s.insert(size_t(point), ".");
        int exponent = below(3) == 0 ? below(61) - 30 : below(601) - 300;
        if (exponent != 0)
            s += "e" + std::to_string(exponent);
        inputs.push_back(s);
    }
    return inputs;
}

// Position of a finite positive extended value on the line of all of them:
// neighbours differ by one.
__int128 ordinal(long double v)
{
    unsigned char raw[10];
    std::memcpy(raw, &v, 10);
    uint64_t mantissa;
    std::memcpy(&mantissa, raw, 8);
    unsigned exponent = (unsigned(raw[9] & 0x7F) << 8) | raw[8];
    if (exponent == 0)
        return __int128(mantissa); // subnormal: no integer bit
    return (__int128(exponent - 1) << 63) + __int128(mantissa);
}

void accuracy(GuestSession& guest)
{
    std::vector<std::string> inputs = decimal_inputs();
    int exact = 0, within_one = 0;
    __int128 worst = 0;
    std::string worst_text;
    double total = 0;
    guest.machine().reset();
    for (const std::string& text : inputs) {
        guest.put_string(kText, text);
        guest.call("strtold", {kText, 0});
        long double got = guest.machine().st0();
        long double want = std::strtold(text.c_str(), nullptr);
        __int128 diff = ordinal(got) - ordinal(want);
        if (diff < 0)
            diff = -diff;
        exact += diff == 0;
        within_one += diff <= 1;
        total += double(diff);
        if (diff > worst) {
            worst = diff;
            worst_text = text;
        }
    }
    std::printf("==== strtold against correctly rounded conversion (host strtold), %d decimal inputs ====\n", kInputs);
    std::printf("exact (same 80 bits):        %6.2f %%\n", 100.0 * exact / kInputs);
    std::printf("within 1 ulp:                %6.2f %%\n", 100.0 * within_one / kInputs);
    std::printf("mean error:                  %6.2f ulp\n", total / kInputs);
    std::printf("largest error:               %6lld ulp  (%s)\n", (long long)worst, worst_text.c_str());
    std::printf("(ulp: unit in the last place of the 64-bit significand)\n\n");
}

// ---- Instructions per byte ---------------------------------------------------------

struct Cost {
    uint64_t instructions;
    size_t bytes;
};

Cost strtol_cost(GuestSession& guest, const std::string& text)
{
    guest.machine().reset();
    guest.put_string(kText, text);
    guest.call("strtol", {kText, kCell, 10});
    return {guest.machine().profile().instructions, text.size()};
}

Cost sscanf_cost(GuestSession& guest, const std::string& text)
{
    guest.machine().reset();
    guest.put_string(kText, text);
    guest.put_string(kFormat, "%d");
    guest.call("sscanf", {kText, kFormat, kCell});
    return {guest.machine().profile().instructions, text.size()};
}

std::string digits(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += char('1' + i % 9);
    return s;
}

void cost(GuestSession& guest)
{
    std::printf("==== guest instructions per input byte (emulator profile, call and return included) ====\n");
    std::printf(
        "%-14s %10s %10s %10s %10s %12s\n", "routine", "1 digit", "10 digits", "per byte", "100 digits", "marginal/B");
    for (const char* routine : {"strtol", "sscanf(\"%d\")"}) {
        auto run = [&](const std::string& text) {
            return std::string(routine) == "strtol" ? strtol_cost(guest, text) : sscanf_cost(guest, text);
        };
        Cost one = run("7"), ten = run(digits(10)), hundred = run(digits(100)), thousand = run(digits(1000));
        double marginal = double(thousand.instructions - hundred.instructions) / double(thousand.bytes - hundred.bytes);
        std::printf("%-14s %10llu %10llu %10.1f %10llu %12.2f\n", routine, (unsigned long long)one.instructions,
            (unsigned long long)ten.instructions, double(ten.instructions) / double(ten.bytes),
            (unsigned long long)hundred.instructions, marginal);
    }
    std::printf("(per byte: the 10-digit total over its 10 bytes; marginal: the cost of each further digit)\n");
}

int run()
{
    const ElfImage image = ElfImage::load(VEKOS_BENCH_IMAGE);
    GuestSession plain = session(image, false);
    GuestSession profiled = session(image, true);
    accuracy(plain);
    cost(profiled);
    return 0;
}

} // namespace
} // namespace vekos::bench

int main() { return vekos::bench::run_guarded("bench_convert", vekos::bench::run); }
