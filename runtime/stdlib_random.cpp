// The pseudo-random generator: a 32-bit linear congruential step, seeded by
// srand or, on the first rand without one, from the time-stamp counter.
#include "stdlib.h"
#include "stdlib_impl.h"

extern "C" {
unsigned g_rand_state = 1;
int g_rand_seeded = 0;
}

namespace {

constexpr unsigned lcg_multiplier = 1103515245u;
constexpr unsigned lcg_increment = 12345u;
constexpr unsigned tsc_mix_multiplier = 1664525u;
constexpr unsigned golden_ratio = 0x9E3779B9u;

// The integer hash known as lowbias32.
unsigned lowbias32(unsigned x)
{
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

void seed(unsigned value)
{
    g_rand_seeded = 1;
    g_rand_state = value ? value : 1;
}

unsigned self_seed()
{
    unsigned low, high;
    asm volatile("rdtsc" : "=a"(low), "=d"(high));
    volatile unsigned char anchor = 0; // its stack address feeds the mix
    unsigned mix = reinterpret_cast<unsigned>(&anchor) ^ reinterpret_cast<unsigned>(&g_heap_used)
        ^ (high * tsc_mix_multiplier) ^ low;
    return lowbias32(mix ^ golden_ratio);
}

} // namespace

extern "C" {

void srand(unsigned value) { seed(value); }

int rand(void)
{
    if (!g_rand_seeded)
        seed(self_seed());
    g_rand_state = g_rand_state * lcg_multiplier + lcg_increment;
    return static_cast<int>((g_rand_state >> 16) & 0x7FFFu);
}

} // extern "C"
