// The benchmark image: small routines the host benchmarks call directly (a
// trivial function, loops of kernel calls, a routine that dirties data and
// stack pages, a byte-store loop).  Nothing calls them from main, so each is
// marked to survive the linker's removal of unused sections.
#include <unistd.h>

namespace {

constexpr int kGuiBegin = 10; // answered -38 by the stand-in when no window service is attached
constexpr int kUsleep = 22;

} // namespace

// n traps of one call, in a loop that touches no memory (guest stores are
// the expensive part of emulated code, and would hide the trap's own cost).
#define BENCH_TRAP_LOOP(trap)                                                                                          \
    int sum = 0;                                                                                                       \
    asm volatile("test %%esi, %%esi\n\t"                                                                               \
                 "jz 2f\n"                                                                                             \
                 "1:\n\t"                                                                                              \
                 "movl %[number], %%eax\n\t"                                                                           \
                 "movl %[argument], %%ebx\n\t" trap "\n\t"                                                             \
                 "addl %%eax, %%edi\n\t"                                                                               \
                 "decl %%esi\n\t"                                                                                      \
                 "jnz 1b\n"                                                                                            \
                 "2:"                                                                                                  \
                 : "+S"(n), "+D"(sum)                                                                                  \
                 : [number] "i"(number), [argument] "i"(argument)                                                      \
                 : "eax", "ebx", "ecx", "edx", "memory", "cc");                                                        \
    return sum

#define BENCH_ENTRY __attribute__((used, retain))

extern "C" {

// Pages of data a call dirties before a reset is measured.
unsigned char bench_data[16 * 4096];

int main() { return 0; }

BENCH_ENTRY unsigned bench_nop(unsigned x) { return x + 1; }

// Writes one byte in each of `pages` data pages and in a few stack pages.
BENCH_ENTRY unsigned bench_dirty(unsigned pages)
{
    volatile unsigned char stack[4 * 4096];
    for (unsigned i = 0; i < sizeof stack; i += 4096)
        stack[i] = static_cast<unsigned char>(i);
    volatile unsigned char *data = bench_data;
    if (pages > sizeof bench_data / 4096)
        pages = sizeof bench_data / 4096;
    for (unsigned p = 0; p < pages; ++p)
        data[p * 4096] = static_cast<unsigned char>(p + 1);
    return stack[0] + pages;
}

// n usleep(1) traps.
BENCH_ENTRY int bench_usleep_loop(unsigned n)
{
    constexpr int number = kUsleep, argument = 1;
    BENCH_TRAP_LOOP("int $0x80");
}

// n gui_begin traps.
BENCH_ENTRY int bench_gui_loop(unsigned n)
{
    constexpr int number = kGuiBegin, argument = 0;
    BENCH_TRAP_LOOP("int $0x80");
}

// The same loop with a two-byte no-op in place of the trap: its own cost.
BENCH_ENTRY int bench_empty_loop(unsigned n)
{
    constexpr int number = kUsleep, argument = 1;
    BENCH_TRAP_LOOP("xchg %%ax, %%ax");
}

// n usleep(1) calls through the library wrapper, as ordinary code makes them
// (each call also pushes a return address and saves a register).
BENCH_ENTRY int bench_usleep_wrapper_loop(unsigned n)
{
    int sum = 0;
    for (unsigned i = 0; i < n; ++i)
        sum += usleep(1);
    return sum;
}

// n byte stores, one at a time.
BENCH_ENTRY void bench_fill(unsigned address, unsigned n)
{
    volatile unsigned char *p = reinterpret_cast<volatile unsigned char *>(address);
    for (unsigned i = 0; i < n; ++i)
        p[i] = static_cast<unsigned char>(i);
}

} // extern "C"
